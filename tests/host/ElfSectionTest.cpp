#include <gtest/gtest.h>

#include <elf.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "host/ElfSection.h"
#include "tests/support/TestSupport.h"

namespace {

std::string SelfPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

class ElfSectionTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tqtest-elf-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_image = tqtest::ReadFile(SelfPath());
        ASSERT_GT(m_image.size(), sizeof(Elf64_Ehdr));
    }
    void TearDown() override {
        for (const std::string& file : m_files) unlink(file.c_str());
        rmdir(m_dir.c_str());
    }
    std::string File(const std::string& name, const std::string& bytes) {
        std::string path = m_dir + "/" + name;
        tqtest::WriteFile(path, bytes);
        m_files.push_back(path);
        return path;
    }
    Elf64_Ehdr Header() const {
        Elf64_Ehdr header;
        std::memcpy(&header, m_image.data(), sizeof header);
        return header;
    }

    std::string m_dir;
    std::string m_image;
    std::vector<std::string> m_files;
};

TEST_F(ElfSectionTest, ReadsTheCompilerCommentOfThisProgram) {
    std::string comment;
    ASSERT_TRUE(ReadElfSection(SelfPath(), ".comment", &comment));
    EXPECT_NE(std::string::npos, comment.find("GCC")) << comment;
}

TEST_F(ElfSectionTest, ReadsASectionAddedByObjcopy) {
    const std::string version = "1.0.0.0 01/02/24 03:04:05\n";
    const std::string copy = File("copy", m_image);
    const std::string text = File("TqVersion.txt", version);
    const std::string command = "objcopy --add-section TqVersion=" + text +
                                " --set-section-flags TqVersion=contents,readonly " + copy;
    ASSERT_EQ(0, system(command.c_str()));
    std::string contents = "old";
    ASSERT_TRUE(ReadElfSection(copy, "TqVersion", &contents));
    EXPECT_EQ(version, contents);
    EXPECT_FALSE(ReadElfSection(copy, "TqVersio", &contents));
    EXPECT_FALSE(ReadElfSection(copy, "TqVersionX", &contents));
    EXPECT_EQ(version, contents);
}

TEST_F(ElfSectionTest, RefusesFilesThatAreNotWholeElfImages) {
    std::string contents = "kept";
    EXPECT_FALSE(ReadElfSection(File("text", "just some text\n"), ".comment", &contents));
    EXPECT_FALSE(ReadElfSection(File("empty", ""), ".comment", &contents));
    EXPECT_FALSE(ReadElfSection(m_dir + "/missing", ".comment", &contents));
    EXPECT_FALSE(ReadElfSection(m_dir, ".comment", &contents));
    EXPECT_FALSE(ReadElfSection(File("head", m_image.substr(0, sizeof(Elf64_Ehdr))), ".comment", &contents));
    EXPECT_FALSE(ReadElfSection(File("half", m_image.substr(0, m_image.size() / 2)), ".comment", &contents));
    EXPECT_EQ("kept", contents);
}

TEST_F(ElfSectionTest, RefusesDamagedHeaders) {
    struct Damage {
        const char* name;
        void (*apply)(Elf64_Ehdr&);
    };
    const Damage damages[] = {
        {"class32", [](Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS32; }},
        {"bigendian", [](Elf64_Ehdr& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; }},
        {"magic", [](Elf64_Ehdr& h) { h.e_ident[EI_MAG1] = 'X'; }},
        {"shoff", [](Elf64_Ehdr& h) { h.e_shoff = ~0ull - 8; }},
        {"shnum", [](Elf64_Ehdr& h) { h.e_shnum = 0xfeff; }},
        {"shstrndx", [](Elf64_Ehdr& h) { h.e_shstrndx = static_cast<Elf64_Half>(h.e_shnum + 1); }},
        {"shentsize", [](Elf64_Ehdr& h) { h.e_shentsize = 8; }},
    };
    for (const Damage& damage : damages) {
        Elf64_Ehdr header = Header();
        damage.apply(header);
        std::string image = m_image;
        std::memcpy(&image[0], &header, sizeof header);
        std::string contents;
        EXPECT_FALSE(ReadElfSection(File(damage.name, image), ".comment", &contents)) << damage.name;
    }
}

TEST_F(ElfSectionTest, RefusesSectionsReachingPastTheFile) {
    Elf64_Ehdr header = Header();
    std::string image = m_image;
    // Every section claims to be huge; names stay readable until the
    // string table itself is refused.
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        std::size_t at = header.e_shoff + i * sizeof section;
        std::memcpy(&section, image.data() + at, sizeof section);
        if (i != header.e_shstrndx) section.sh_size = ~0ull / 2;
        std::memcpy(&image[at], &section, sizeof section);
    }
    std::string contents = "kept";
    EXPECT_FALSE(ReadElfSection(File("huge", image), ".comment", &contents));
    // The name table itself out of bounds.
    Elf64_Shdr names;
    std::size_t at = header.e_shoff + header.e_shstrndx * sizeof names;
    std::memcpy(&names, image.data() + at, sizeof names);
    names.sh_offset = image.size() - 4;
    std::memcpy(&image[at], &names, sizeof names);
    EXPECT_FALSE(ReadElfSection(File("names", image), ".comment", &contents));
    EXPECT_EQ("kept", contents);
}

}  // namespace
