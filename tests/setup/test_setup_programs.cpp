// Running programs and what the setup leaves behind: vk9000's pid file, finding and closing a
// running vk9000, the close hook ending the setup with nothing written, the save hook, the
// instance registry, and SetupVelkan --answers run as a program.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <fstream>
#include <thread>

#include "platform/socket.h"
#include "setup/deploykit/deploykit.h"
#include "tests/setup/setup_test_util.h"

extern char** environ;

namespace {

using setuptest::SetupTest;

// The programs are built into the folder of the test program.
std::string BinaryDir() {
    std::string folder;
    GetModuleDir(folder);
    return folder + "/";
}

// The empty store of a local instance, which vk9000 needs before it serves the folder.
void MakeStore(const std::string& instance) {
    PlatMakeDirectories(instance + "/backend");
    ASSERT_EQ(std::system((BinaryDir() + "strata create " + instance + "/backend/Lumo.strata >/dev/null").c_str()), 0);
}

std::string ReadAll(const std::string& path) {
    std::string text;
    PlatReadFile(path, text, 1 << 20);
    return text;
}

// A program run with stdout and stderr in a file; killed at the end if still running.
class CProcess {
public:
    CProcess(const std::string& program, std::vector<std::string> args, const std::string& output)
        : m_output(output) {
        args.insert(args.begin(), program);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~CProcess() {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t Pid() const { return m_pid; }
    std::string Output() const { return ReadAll(m_output); }
    bool WaitForOutput(const std::string& text, int ms) const {
        for (int waited = 0; waited < ms; waited += 50) {
            if (Output().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The exit code, or -1 when it is still running after `ms`.
    int WaitExit(int ms) {
        for (int waited = 0; m_status < 0 && waited < ms; waited += 20) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return m_status;
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_output;
};

class ProgramsTest : public SetupTest {
protected:
    // A vk9000 serving the instance folder on a free port, up and listening.
    std::unique_ptr<CProcess> StartDaemon(const std::string& log = "vk9000.out") {
        MakeStore(Instance());
        auto daemon = std::make_unique<CProcess>(BinaryDir() + "vk9000",
                                                 std::vector<std::string>{"--home", Instance(), "--port", "0"},
                                                 m_temp.File(log));
        EXPECT_TRUE(daemon->WaitForOutput("listening on port", 20000)) << daemon->Output();
        return daemon;
    }
    std::string PidFile() const { return Instance() + "/vk9000.pid"; }
};

TEST_F(ProgramsTest, RunningVk9000KeepsItsPidFileRefusesASecondOneAndRemovesItAtExit) {
    auto daemon = StartDaemon();
    EXPECT_EQ(ReadAll(PidFile()), std::to_string(daemon->Pid()) + "\n");
    EXPECT_EQ(CloseVk9000Exe(1, Instance(), 0), 1);
    EXPECT_EQ(CloseCore9Exe(1, Instance(), 0), 0);

    CProcess second(BinaryDir() + "vk9000", {"--home", Instance(), "--port", "0"}, m_temp.File("second.out"));
    EXPECT_EQ(second.WaitExit(20000), 4);
    EXPECT_NE(second.Output().find("another vk9000 (pid " + std::to_string(daemon->Pid()) + ") serves"),
              std::string::npos) << second.Output();
    EXPECT_EQ(ReadAll(PidFile()), std::to_string(daemon->Pid()) + "\n");  // the loser leaves it alone

    // A copy of the folder names the running vk9000 in its pid file, but nothing serves the copy:
    // it is neither detected nor closed there.
    const std::string copy = m_temp.File("copy");
    PlatMakeDirectories(copy);
    const std::string pid = ReadAll(PidFile());
    ASSERT_EQ(PlatWriteFileAtomic(copy + "/vk9000.pid", pid.data(), pid.size()), 0);
    EXPECT_EQ(CloseVk9000Exe(1, copy, 0), 0);
    EXPECT_EQ(CloseVk9000Exe(0, copy, 0), 0);
    EXPECT_EQ(daemon->WaitExit(200), -1);

    kill(daemon->Pid(), SIGTERM);
    EXPECT_EQ(daemon->WaitExit(10000), 0);
    EXPECT_FALSE(PlatFileExists(PidFile()));
    EXPECT_EQ(CloseVk9000Exe(1, Instance(), 0), 0);
}

TEST_F(ProgramsTest, StalePidFilesAreNotRunningPrograms) {
    CProcess gone("/bin/true", {}, m_temp.File("true.out"));
    ASSERT_EQ(gone.WaitExit(5000), 0);
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"exited process", std::to_string(gone.Pid()) + "\n"},
        {"live process of another program", std::to_string(getpid())},
        {"not a number", "vk9000\n"},
        {"empty", ""},
    };
    PlatMakeDirectories(Instance());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(PlatWriteFileAtomic(PidFile(), c.content.data(), c.content.size()), 0);
        EXPECT_EQ(CloseVk9000Exe(1, Instance(), 0), 0);
        EXPECT_EQ(CloseVk9000Exe(0, Instance(), 0), 0);  // nothing to close, nothing signalled
    }
    const std::string stale = std::to_string(gone.Pid()) + "\n";
    ASSERT_EQ(PlatWriteFileAtomic(PidFile(), stale.data(), stale.size()), 0);
    auto daemon = StartDaemon();
    EXPECT_EQ(ReadAll(PidFile()), std::to_string(daemon->Pid()) + "\n");
}

TEST_F(ProgramsTest, RefusingToCloseARunningVk9000EndsTheSetupWithNothingWritten) {
    auto daemon = StartDaemon();
    m_host.m_answers = {VKID_NO};
    CSheetMain sheet;
    EXPECT_FALSE(WalkTo(sheet, sheet.m_pagePort, InstallerFields()));
    EXPECT_EQ(sheet.State(), CSheetSetup::EState::Ended);
    ASSERT_EQ(m_host.m_messages.size(), 1u);
    EXPECT_EQ(m_host.m_messages[0],
              "安装程序探测到下列 Lumo 程序正在运行:\n"
              "---------------------------------------\n"
              "* vk9000(u).exe -- Lumo Z39.50务器\n"
              "-------------------------------------\n"
              "\n(注：上面仅列出了对安装有直接影响的 Lumo 程序，如果当前还有其他 Lumo 应用程序正在运行，"
              "最好先全部关闭，以免因数据库内核退出而导致无法保存最新修改过的数据。)\n"
              "\n为了不受干扰地写入新的 Lumo 配置文件信息，安装程序必须先关闭上述应用程序。\n\n"
              "关闭上述应用程序? (Y)关闭 (N)退出安装程序");
    EXPECT_FALSE(PlatFileExists(Ini()));
    EXPECT_FALSE(PlatFileExists(m_temp.File("cfg")));  // no registry, registration or host list
    EXPECT_EQ(daemon->WaitExit(200), -1);              // still serving
}

TEST_F(ProgramsTest, AgreeingToCloseStopsVk9000BehindAWaitingNotice) {
    auto daemon = StartDaemon();
    m_host.m_answers = {VKID_YES};
    CSheetMain sheet;
    ASSERT_TRUE(WalkTo(sheet, sheet.m_pagePort, InstallerFields()));
    EXPECT_EQ(daemon->WaitExit(1000), 0);
    EXPECT_EQ(m_host.m_waiting, (std::vector<std::string>{"正在关闭正在运行的 Lumo 服务器程序 ...", "(hidden)"}));
    EXPECT_FALSE(PlatFileExists(PidFile()));
}

TEST_F(ProgramsTest, FinishWritesThePortAndRegistersTheInstanceAndAReinstallFindsItsFolder) {
    const int port = setuptest::FreePort();
    auto fields = InstallerFields("Lib-2");
    fields[IDC_PORT] = std::to_string(port);
    fields[IDC_ADDRESS] = "db.example";  // network mode: no kernel instance here
    {
        CSheetMain sheet;
        ASSERT_TRUE(WalkTo(sheet, sheet.Page(sheet.PageCount() - 1), fields));
        EXPECT_EQ(IniValue("common", "ListenerPort"), "(missing)");  // not before Finish
        ASSERT_TRUE(sheet.Finish());
    }
    EXPECT_EQ(IniValue("common", "ListenerPort"), std::to_string(port));
    CRegistryInstance registry;
    std::string program, data, self;
    GetModuleDir(self);
    ASSERT_EQ(registry.Load(kServerRegistryKey), 0);
    ASSERT_EQ(registry.FindItem("lib-2", program, data), 1);  // names compare without case
    EXPECT_EQ(program, self + "/vk9000");
    EXPECT_EQ(data, Instance());

    // Re-install: the instance name leads to the registered folder and the ini's settings.
    CSheetMain again;
    fields.erase(IDC_INSTANCE_FOLDER);
    fields.erase(IDC_PORT);
    ASSERT_TRUE(WalkTo(again, again.m_pagePort, fields));
    EXPECT_EQ(again.m_instanceFolder, Instance());
    EXPECT_EQ(again.m_pagePort.GetItemText(IDC_PORT), std::to_string(port));
}

TEST_F(ProgramsTest, TheStorePageMakesTheChosenStoreAndSetsTheAccountsTheServerUses) {
    const struct {
        const char* what;
        int radio;
        const char* database;
        bool anonymous;
        bool network;
        bool leaves;  // Next leaves the page
        const char* dbUser;
        const char* allowAnonymous;
    } cases[] = {
        {"empty database", IDC_STORE_EMPTY, "cat", true, false, true, "public", "1"},
        {"bad database name", IDC_STORE_EMPTY, "a b", true, false, false, "(missing)", "(missing)"},
        {"no store now, no anonymous clients", IDC_STORE_NONE, "cat", false, false, true, "(missing)", "0"},
        {"network mode", IDC_STORE_EMPTY, "cat", true, true, true, "(missing)", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(Instance());
        CSheetMain sheet;
        ASSERT_TRUE(WalkTo(sheet, sheet.m_pageInterface, InstallerFields()));
        sheet.m_pageInterface.CheckRadio(c.network ? IDC_MODE_NETWORK : IDC_MODE_LOCAL);
        sheet.m_pageInterface.SetItemText(IDC_ADDRESS, "db.example");
        ASSERT_TRUE(sheet.Next());
        CPageStore& page = sheet.m_pageStore;
        ASSERT_EQ(&sheet.Current(), &page);
        EXPECT_EQ(page.Item(IDC_STORE_EMPTY)->enabled, !c.network);
        page.CheckRadio(c.radio);
        page.SetItemText(IDC_STORE_DATABASE, c.database);
        page.Item(IDC_STORE_ANONYMOUS)->checked = c.anonymous;
        EXPECT_EQ(sheet.Next(), c.leaves);
        EXPECT_EQ(PlatFileExists(page.StorePath()), c.radio == IDC_STORE_EMPTY && c.leaves && !c.network);
        EXPECT_EQ(IniValue("Backend", "DBUser"), c.dbUser);
        EXPECT_EQ(IniValue("Access", "AllowAnonymous"), c.allowAnonymous);
    }
    // The empty database is in the store, and the page now keeps that store as it is.
    std::filesystem::remove_all(Instance());
    CSheetMain sheet;
    ASSERT_TRUE(WalkTo(sheet, sheet.m_pageInterface, InstallerFields()));
    sheet.m_pageInterface.CheckRadio(IDC_MODE_LOCAL);
    ASSERT_TRUE(sheet.Next());
    sheet.m_pageStore.CheckRadio(IDC_STORE_EMPTY);
    ASSERT_TRUE(sheet.Next());
    const std::string list = m_temp.File("list.out");
    ASSERT_EQ(std::system((BinaryDir() + "strata list " + sheet.m_pageStore.StorePath() + " >" + list).c_str()), 0);
    EXPECT_NE(ReadAll(list).find("books"), std::string::npos) << ReadAll(list);
    ASSERT_TRUE(sheet.Back());
    EXPECT_FALSE(sheet.m_pageStore.Item(IDC_STORE_EMPTY)->enabled);
    EXPECT_NE(sheet.m_pageStore.GetItemText(IDC_PAGE_STATUS).find("已经存在"), std::string::npos);
}

TEST(RegistryTest, EntriesSurviveASaveAndBadNamesAreRefused) {
    TempFolder temp;
    setenv("ORVANE_CONFIG_DIR", temp.File("cfg").c_str(), 1);
    CRegistryInstance registry;
    ASSERT_EQ(registry.Load("software/Orvane/test/instance"), 0);  // missing: empty
    EXPECT_TRUE(registry.SetItem("One", "/usr/bin/vk9000", "/srv/one"));
    EXPECT_TRUE(registry.SetItem("two", "/usr/bin/vk9000", "/srv/two"));
    EXPECT_TRUE(registry.SetItem("ONE", "/opt/bin/vk9000", "/srv/1"));  // replaces "One"
    for (const char* bad : {"", "a]b", "a\nb", " padded"})
        EXPECT_FALSE(registry.SetItem(bad, "p", "d")) << bad;
    EXPECT_FALSE(registry.SetItem("ok", "p", "line\nbreak"));
    ASSERT_EQ(registry.Save(), 0);
    EXPECT_EQ(CRegistryInstance::FileOfKey("software/Orvane/test/instance"), temp.File("cfg") + "/test-instance.ini");

    CRegistryInstance loaded;
    ASSERT_EQ(loaded.Load("software/Orvane/test/instance"), 0);
    ASSERT_EQ(loaded.Items().size(), 2u);
    std::string program, data;
    EXPECT_EQ(loaded.FindItem("one", program, data), 1);
    EXPECT_EQ(program + " " + data, "/opt/bin/vk9000 /srv/1");
    EXPECT_EQ(loaded.FindItem("three", program, data), 0);
    unsetenv("ORVANE_CONFIG_DIR");
}

class AnswersTest : public SetupTest {
protected:
    // Runs SetupVelkan --answers with the [setup] keys of `answers` over a complete first install;
    // returns the exit code.
    int Run(const std::map<std::string, std::string>& answers, std::string& output) {
        std::map<std::string, std::string> keys = {
            {"InstanceName", "scripted"}, {"InstanceFolder", Instance()},
            {"ProgramFolder", BinaryDir().substr(0, BinaryDir().size() - 1)}};
        for (const auto& [key, value] : answers)
            keys[key] = value;
        std::string text = "[setup]\n";
        for (const auto& [key, value] : keys)
            text += key + "=" + value + "\n";
        const std::string file = m_temp.File("answers.ini");
        PlatWriteFileAtomic(file, text.data(), text.size());
        CProcess p(BinaryDir() + "SetupVelkan", {"--answers", file}, m_temp.File("setup.out"));
        const int rc = p.WaitExit(30000);
        output = p.Output();
        return rc;
    }
};

TEST_F(AnswersTest, EachFailedCheckIsOneLineAndLeavesNothingWritten) {
    const struct {
        std::map<std::string, std::string> answers;
        const char* message;
    } cases[] = {
        {{{"Mode", "remote"}}, "Mode must be local or network"},
        {{{"CloseRunning", "maybe"}}, "CloseRunning must be yes or no"},
        {{{"Store", "maybe"}}, "Store must be demo, empty or none"},
        {{{"Mode", "network"}, {"ServerAddress", ""}},
         "尚未指定'Z39.50服务器要连接的 Lumo server或Kaltro server地址'..."},
        {{{"Port", "http"}}, "请输入 1 到 65534 之间的端口号。"},
        {{{"InstanceName", "two words"}}, "实例名 'two words' 不合法"},
        {{{"InstanceFolder", "relative/dir"}}, "实例目录 'relative/dir' 不合法"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string output;
        EXPECT_EQ(Run(c.answers, output), 2);
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
        EXPECT_EQ(output.rfind("SetupVelkan: ", 0), 0u) << output;
        EXPECT_FALSE(PlatFileExists(Ini()));
        EXPECT_FALSE(PlatFileExists(CRegistryInstance::FileOfKey(kServerRegistryKey)));
    }
}

TEST_F(AnswersTest, AScriptedInstallIsServedByVk9000OnTheChosenPort) {
    const int port = setuptest::FreePort();
    std::string output;
    ASSERT_EQ(Run({{"Port", std::to_string(port)}, {"Mode", "local"}, {"Store", "empty"}}, output), 0) << output;
    EXPECT_EQ(IniValue("common", "ListenerPort"), std::to_string(port));
    EXPECT_EQ(IniValue("Strata", "interface"), "localcore32.dll");
    EXPECT_EQ(IniValue("Backend", "DBUser"), "public");
    CProcess daemon(BinaryDir() + "vk9000", {"--home", Instance()}, m_temp.File("vk.out"));
    ASSERT_TRUE(daemon.WaitForOutput("listening on port " + std::to_string(port), 20000)) << daemon.Output();
    int error = 0;
    const SOCKET_T c = PlatConnect("127.0.0.1", static_cast<unsigned short>(port), error);
    EXPECT_NE(c, INVALID_SOCKET_T);
    PlatCloseSocket(c);

    // While it serves, a scripted re-install that may not close it ends with exit 3.
    EXPECT_EQ(Run({{"Mode", "local"}, {"CloseRunning", "no"}}, output), 3);
    EXPECT_NE(output.find("CloseRunning=no"), std::string::npos) << output;
    EXPECT_EQ(daemon.WaitExit(100), -1);
    EXPECT_EQ(Run({{"Mode", "local"}, {"CloseRunning", "yes"}}, output), 0) << output;
    EXPECT_EQ(daemon.WaitExit(2000), 0);
}

}  // namespace
