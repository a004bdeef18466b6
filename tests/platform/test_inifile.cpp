// Windows-profile-style ini files: reading, writing, case, line ends, limits.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/inifile.h"
#include "temp_folder.h"

namespace {
class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_file = m_dir.File("vk9000.ini");
    }
    void WriteRaw(const std::string& text) {
        ASSERT_EQ(PlatWriteFileAtomic(m_file, text.data(), text.size()), 0);
    }
    std::string ReadRaw() {
        std::string data;
        EXPECT_EQ(PlatReadFile(m_file, data, 1 << 21), 0);
        return data;
    }
    std::string Get(const std::string& section, const std::string& key) {
        return PlatGetProfileString(section, key, "<default>", m_file);
    }
    TempFolder m_dir;
    std::string m_file;
};

TEST_F(IniFileTest, WrittenValuesReadBackInANewFile) {
    ASSERT_TRUE(PlatWriteProfileString("Server", "Port", "210", m_file));
    ASSERT_TRUE(PlatWriteProfileString("Server", "Interface", "localcore32.dll", m_file));
    ASSERT_TRUE(PlatWriteProfileString("Log", "Folder", "/var/log/vk/", m_file));
    EXPECT_EQ(Get("Server", "Port"), "210");
    EXPECT_EQ(Get("Server", "Interface"), "localcore32.dll");
    EXPECT_EQ(Get("Log", "Folder"), "/var/log/vk/");
    EXPECT_EQ(PlatGetProfileInt("Server", "Port", 0, m_file), 210);
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(Get("Server", "Port"), "<default>");
    WriteRaw("[Server]\nPort=210\n");
    EXPECT_EQ(Get("Other", "Port"), "<default>");
    EXPECT_EQ(Get("Server", "Host"), "<default>");
    EXPECT_EQ(PlatGetProfileInt("Server", "Host", 7, m_file), 7);
}

TEST_F(IniFileTest, CrLfFileIsReadAndKeepsItsLineEnds) {
    WriteRaw("; instance\r\n[Server]\r\nPort = 2100 \r\nName=\"My library\"\r\n");
    EXPECT_EQ(Get("server", "PORT"), "2100");
    EXPECT_EQ(Get("Server", "Name"), "My library");
    ASSERT_TRUE(PlatWriteProfileString("Server", "Port", "210", m_file));
    EXPECT_EQ(ReadRaw(), "; instance\r\n[Server]\r\nPort=210\r\nName=\"My library\"\r\n");
}

TEST_F(IniFileTest, NewKeyGoesIntoItsSectionAndOtherLinesStay) {
    WriteRaw("[A]\nx=1\n\n[B]\ny=2\n");
    ASSERT_TRUE(PlatWriteProfileString("a", "z", "3", m_file));
    EXPECT_EQ(ReadRaw(), "[A]\nx=1\nz=3\n\n[B]\ny=2\n");
}

TEST_F(IniFileTest, NullValueDeletesTheKeyAndNullKeyTheSection) {
    WriteRaw("[A]\nx=1\ny=2\n[B]\nz=3\n");
    ASSERT_TRUE(PlatWriteProfileString("A", "x", nullptr, m_file));
    EXPECT_EQ(Get("A", "x"), "<default>");
    EXPECT_EQ(Get("A", "y"), "2");
    ASSERT_TRUE(PlatWriteProfileString("A", nullptr, nullptr, m_file));
    EXPECT_EQ(ReadRaw(), "[B]\nz=3\n");
}

TEST_F(IniFileTest, IntegersParseLikeWindows) {
    WriteRaw("[N]\nneg=-42\nhex=0x1F\ntext=abc\ntail=12abc\nhuge=99999999999\n");
    EXPECT_EQ(PlatGetProfileInt("N", "neg", 5, m_file), -42);
    EXPECT_EQ(PlatGetProfileInt("N", "hex", 5, m_file), 31);
    EXPECT_EQ(PlatGetProfileInt("N", "text", 5, m_file), 0);
    EXPECT_EQ(PlatGetProfileInt("N", "tail", 5, m_file), 12);
    EXPECT_EQ(PlatGetProfileInt("N", "huge", 5, m_file), 2147483647);
}

TEST_F(IniFileTest, LineBreaksInNamesOrValuesAreRefused) {
    EXPECT_FALSE(PlatWriteProfileString("S", "k", "a\r\n[Evil]\r\nx=1", m_file));
    EXPECT_FALSE(PlatWriteProfileString("S", "k=v", "1", m_file));
    EXPECT_FALSE(PlatWriteProfileString("S]", "k", "1", m_file));
    EXPECT_FALSE(PlatFileExists(m_file));
}

TEST_F(IniFileTest, FileAboveOneMebibyteIsRefused) {
    std::string big = "[S]\nk=v\n" + std::string(PLAT_INI_MAX_BYTES, ';');
    WriteRaw(big);
    EXPECT_EQ(Get("S", "k"), "<default>");
    EXPECT_FALSE(PlatWriteProfileString("S", "k", "w", m_file));
    EXPECT_EQ(ReadRaw().size(), big.size());
}

TEST_F(IniFileTest, KeysBeforeAnySectionAndCommentsAreIgnored) {
    WriteRaw("k=0\n[S]\n;k=1\nk=2\n");
    EXPECT_EQ(Get("S", "k"), "2");
}
}  // namespace
