// ELF input: the loadable contents of a linked program as Intel HEX records, so that the image is
// built from an ELF file by the same rules, and to the same bytes, as from the HEX file of the
// same build. A small reader of its own: it parses untrusted input within the bytes it is given,
// and it needs no system library, so it builds for Windows and WebAssembly as it does for Linux.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/program_memory.h"

namespace vestrel::image {

// True when `head` starts with the four ELF magic bytes.
bool IsElf(std::span<const std::uint8_t> head);

// Converts a linked 32-bit little-endian MIPS program into HEX records (types 04 and 00, then an
// end-of-file record) in `lines`. What the records hold is what the linker put into the loadable
// segments, at their physical addresses: every allocated section with contents, at the physical
// address of its segment (p_paddr) plus its place in the segment. Gaps between sections are
// the linker's padding, not data, so they stay erased as in the HEX file; a file without section
// headers gives its segments whole. Fails with the reason, naming `name`; reads nothing outside
// `bytes`. `sources`, when given, names the segment that each line came from.
bool ElfToHexLines(std::span<const std::uint8_t> bytes, const std::string& name,
                   std::vector<std::string>& lines, HexError* error = nullptr,
                   std::vector<LineSource>* sources = nullptr);

}  // namespace vestrel::image
