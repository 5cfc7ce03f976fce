// Telling the three image kinds apart by content and finding the main NCCH in each.
#pragma once

#include "ctr/Io.h"
#include "ctr/Reader.h"

namespace ctr {

enum class ImageKind { Unknown, Cia, Ncsd, Ncch };

// By content, as the container tools do: a CIA starts with the header size 0x2020, an NCSD or
// NCCH has its magic at 0x100.
ImageKind DetectImageKind(Reader& in);

// Where the main NCCH lies: content 0 of a CIA, partition 0 of a card image, or the whole file
// of an NCCH. The range lies inside in.
Result<ByteRange> LocateMainNcch(Reader& in);

}  // namespace ctr
