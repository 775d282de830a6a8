// The current directory and the launcher's own path in a form the ANSI calls can use.
//
// The *A calls answer a path with every character that the code page cannot spell as '?' or as a
// look-alike (a "best fit": "ł" as "l" in code page 1252), and such a path names no folder, or
// another one. Where that happens and the path has a short (8.3) form the code page spells, the
// short form is the one to use: it names the same folder. Short names are made in the OEM code
// page, so they too may hold a character the ANSI code page lacks; then nothing better is known.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

// Which path of the process: the current directory or the launcher's own file.
enum class ProcessPath { currentDirectory, launcher };

// `path` holds what the *A call for `which` answered (GetCurrentDirectoryA, or
// GetModuleFileNameA(NULL, ...)), and `length` is its result. When that answer is not the path
// (its wide form does not convert to the code page exactly) and the path has a short form that
// does, `path` gets the short form and its length is returned. Otherwise `path` is left as it is
// and `length` returned: where the wide calls fail, where the answer is the path, and where no
// short form spells it (a volume without 8.3 names), the *A call's answer stands.
std::uint32_t UsableAnsiPath(Platform& os, ProcessPath which, char (&path)[kMaxPath],
                             std::uint32_t length);
