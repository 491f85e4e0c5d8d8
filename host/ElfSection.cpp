#include "host/ElfSection.h"

#include <elf.h>

#include <cstring>

#include "host/StoreText.h"

namespace {

// Copies a record out of the image when [offset, offset + size) lies inside.
template <typename T>
bool ReadAt(const std::string& image, std::uint64_t offset, T* record) {
    if (offset > image.size() || sizeof(T) > image.size() - offset) return false;
    std::memcpy(record, image.data() + offset, sizeof(T));
    return true;
}

bool InImage(const std::string& image, std::uint64_t offset, std::uint64_t size) {
    return offset <= image.size() && size <= image.size() - offset;
}

// The section `name` of a 64-bit little-endian ELF image held in memory.
// Every offset and size read from the image is checked against its length.
bool ExtractElfSection(const std::string& image, const std::string& name, std::string* contents) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ELF records are read in host order");
    Elf64_Ehdr header;
    if (!ReadAt(image, 0, &header)) return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shoff == 0 ||
        header.e_shentsize != sizeof(Elf64_Shdr)) {
        return false;
    }
    // Section 0 holds the real count and string-table index when they do not
    // fit the header's fields.
    Elf64_Shdr first;
    if (!ReadAt(image, header.e_shoff, &first)) return false;
    std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
    std::uint64_t names = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
    if (count == 0 || names >= count) return false;
    if (count > (image.size() - header.e_shoff) / sizeof(Elf64_Shdr)) return false;

    Elf64_Shdr table;
    if (!ReadAt(image, header.e_shoff + names * sizeof(Elf64_Shdr), &table) ||
        table.sh_type != SHT_STRTAB || !InImage(image, table.sh_offset, table.sh_size)) {
        return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        Elf64_Shdr section;
        if (!ReadAt(image, header.e_shoff + i * sizeof(Elf64_Shdr), &section)) return false;
        if (section.sh_name >= table.sh_size) continue;
        const char* start = image.data() + table.sh_offset + section.sh_name;
        std::size_t room = static_cast<std::size_t>(table.sh_size - section.sh_name);
        const void* nul = std::memchr(start, '\0', room);
        if (nul == nullptr) continue;
        std::size_t length = static_cast<std::size_t>(static_cast<const char*>(nul) - start);
        if (length != name.size() || name.compare(0, length, start, length) != 0) continue;
        if (section.sh_type == SHT_NOBITS) {
            contents->clear();
            return true;
        }
        if (!InImage(image, section.sh_offset, section.sh_size)) return false;
        contents->assign(image, section.sh_offset, section.sh_size);
        return true;
    }
    return false;
}

}  // namespace

bool ReadElfSection(const std::string& path, const std::string& name, std::string* contents) {
    std::string image;
    bool missing = false;
    if (!tqfw::ReadWholeFile(path, &image, &missing) || missing) return false;
    std::string found;
    if (!ExtractElfSection(image, name, &found)) return false;
    if (contents) *contents = std::move(found);
    return true;
}
