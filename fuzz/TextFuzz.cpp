// Token text in its three uses: a language file, a patch descriptor, a token split with the
// track lists' delimiter.
#include "FuzzSupport.h"
#include "core/localization/Language.h"
#include "core/localization/TokenText.h"
#include "core/rom/PatchList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(qpt::fuzz::Text(data, size));
  (void)qpt::ReadTokens(qpt::NormalizeLineBreaks(qpt::DecodeText(bytes)), ':');
  const qpt::TPatchDescriptor descriptor = qpt::TPatchDescriptor::FromBytes(bytes);
  (void)qpt::GetPatchTitle(descriptor.Value("Game"));
  (void)qpt::GetPatchRegion(descriptor.Value("Region"));
  qpt::fuzz::FreshFolder("lang");
  qpt::fuzz::WriteInput(data, size, "lang/Fuzz.lng");
  qpt::TLangList lang;
  if (qpt::LoadLanguage("Fuzz", lang, qpt::fuzz::Scratch())) (void)lang.GetLangText("Done");
  return 0;
}
