// Packet files: unique names, missing folders, append and truncate.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <unistd.h>

#include "berkit/bernode_pktfile.h"

namespace fs = std::filesystem;

namespace {

class PacketFileTest : public ::testing::Test {
protected:
    fs::path folder;

    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("velkan_pkt_" + std::to_string(getpid()) + "_" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string Read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<fs::path> Files()
    {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder))
            files.push_back(entry.path());
        return files;
    }
    void Log(const std::string& dir, const char* bytes, int length)
    {
        LogBerPackage(dir.c_str(), "t1", "srchreq", const_cast<char*>(bytes), length, false);
    }
};

TEST_F(PacketFileTest, TwoCallsInOneSecondMakeTwoFiles)
{
    Log(folder.string() + "/", "\x30\x00", 2);
    Log(folder.string() + "/", "\x31\x00", 2);
    auto files = Files();
    ASSERT_EQ(files.size(), 2u);  // and no temporary file left behind
    for (const auto& file : files) {
        std::string name = file.filename().string();
        EXPECT_TRUE(std::regex_match(name, std::regex("t1_[0-9]{8}_[0-9]{6}_srchreq_ber[0-9A-F]+\\.ber"))) << name;
    }
    EXPECT_NE(Read(files[0]), Read(files[1]));
}

TEST_F(PacketFileTest, FileHoldsExactlyTheOctets)
{
    const char bytes[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    Log(folder.string(), bytes, 5);
    auto files = Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Read(files[0]), std::string(bytes, 5));
}

TEST_F(PacketFileTest, MissingFolderWritesNothing)
{
    Log((folder / "absent").string(), "\x30\x00", 2);
    EXPECT_TRUE(Files().empty());
    LogBerPackage(nullptr, nullptr, nullptr, nullptr, 0, false);
}

TEST_F(PacketFileTest, DumpBytesTruncatesOrAppends)
{
    std::string path = (folder / "dump.bin").string();
    char first[] = "abc", second[] = "de";
    EXPECT_EQ(DumpBytes(path.c_str(), first, 3, false), 0);
    EXPECT_EQ(DumpBytes(path.c_str(), second, 2, true), 0);
    EXPECT_EQ(Read(path), "abcde");
    EXPECT_EQ(DumpBytes(path.c_str(), second, 2, false), 0);
    EXPECT_EQ(Read(path), "de");
    EXPECT_EQ(DumpBytes(path.c_str(), second, 0, false), 0);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(Read(path), "");
}

TEST_F(PacketFileTest, ZeroLengthCreatesEmptyFile)
{
    std::string path = (folder / "new.bin").string();
    EXPECT_EQ(DumpBytes(path.c_str(), nullptr, 0, true), 0);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    char byte[] = "x";
    EXPECT_EQ(DumpBytes((folder / "no" / "x.bin").string().c_str(), byte, 1, false), 0);
    EXPECT_FALSE(fs::exists(folder / "no"));
}

}  // namespace
