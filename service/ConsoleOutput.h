// The installer's few lines on standard output, byte for byte the same in every build.
#pragma once

// Formats with the system's wide convention ("%s" a wide string, "%lx" 32 bits), converts
// to the ANSI code page and writes the bytes as they are: "\n" stays one line feed.
// Nothing is written when the process has no standard output, or no memory for the line.
void ConsolePrint(const wchar_t* format, ...);
