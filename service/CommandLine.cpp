#include "service/CommandLine.h"

namespace {

wchar_t FoldAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// `lowerWord` is in lower case.
bool WordMatches(const wchar_t* word, const wchar_t* lowerWord) {
  for (; *word != 0 && *lowerWord != 0; ++word, ++lowerWord) {
    if (FoldAsciiLetter(*word) != *lowerWord) return false;
  }
  return *word == 0 && *lowerWord == 0;
}

}  // namespace

bool IsSwitch(const wchar_t* argument) {
  return argument != nullptr && (argument[0] == L'-' || argument[0] == L'/');
}

ProcessRole SelectProcessRole(int argc, const wchar_t* const* argv) {
  if (argc <= 1 || argv == nullptr || !IsSwitch(argv[1])) return ProcessRole::Service;
  const wchar_t* word = argv[1] + 1;
  static constexpr struct {
    const wchar_t* word;
    ProcessRole role;
  } kRoles[] = {
      {L"install", ProcessRole::Install},
      {L"remove", ProcessRole::Remove},
      {L"delfile", ProcessRole::DelFile},
      {L"idletask", ProcessRole::IdleTask},
  };
  for (const auto& entry : kRoles) {
    if (WordMatches(word, entry.word)) return entry.role;
  }
  return ProcessRole::UnknownSwitch;
}
