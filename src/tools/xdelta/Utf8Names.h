/* Included before xdelta3.c's own code in the Windows build of xdelta.exe. xdelta3 passes
   file names to the ANSI calls of Windows (CreateFileA, stat), which cannot name a file
   whose letters the ANSI code page lacks. Our main hands xdelta3 its arguments as UTF-8, and
   these two calls take UTF-8 names. windows.h is included here first, with the settings
   xdelta3.h would use, so that its later include changes nothing. */
#ifndef QPT_XDELTA_UTF8_NAMES_H
#define QPT_XDELTA_UTF8_NAMES_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

HANDLE QptCreateFileUtf8(const char* name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile);
int QptStatUtf8(const char* name, struct stat* status);

#ifdef __cplusplus
}
#endif

#undef CreateFile
#define CreateFile QptCreateFileUtf8
#define stat(name, status) QptStatUtf8(name, status)

#endif
