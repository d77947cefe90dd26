// The role a run of the executable plays, chosen by its first command-line argument.
#pragma once

enum class ProcessRole {
  Service,        // no argument, or one that is not a switch
  Install,        // "-install"
  Remove,         // "-remove"
  DelFile,        // "-delfile"
  IdleTask,       // "-idletask"
  UnknownSwitch,  // "-" or "/" followed by any other word
};

// True when the argument is a switch: it begins with "-" or "/". Null is no switch.
bool IsSwitch(const wchar_t* argument);

// Only argv[1] counts. Its word after the "-" or "/" is compared whole, folding the
// letters A to Z only, so no locale can make another word match.
ProcessRole SelectProcessRole(int argc, const wchar_t* const* argv);
