// Reads a named section of an ELF file (the version line of a library).
#pragma once

#include <string>

// Returns true and the section's bytes in *contents when `path` is a 64-bit
// ELF file holding a section named `name`.
bool ReadElfSection(const std::string& path, const std::string& name, std::string* contents);
