// The vk9000 daemon run as a process: demo instance, listening line, stop signals, exit codes.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <cstdlib>

#include "platform/file.h"
#include "platform/socket.h"
#include "tests/server/server_test_util.h"

extern char** environ;

namespace {

// One vk9000 process with its stdout and stderr on pipes; killed at the end if still running.
class CDaemon {
public:
    explicit CDaemon(std::vector<std::string> args) {
        const char* bin = std::getenv("VELKAN_BINARY_DIR");
        std::string exe = std::string(bin ? bin : ".") + "/bin/vk9000";
        args.insert(args.begin(), exe);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~CDaemon() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
    }
    // Reads stdout until a line containing `text` (returned) or `ms` pass ("").
    std::string WaitForLine(const std::string& text, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = m_buffer.find('\n')) != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                if (line.find(text) != std::string::npos)
                    return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now()).count();
            pollfd p{m_out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return "";
            char chunk[512];
            const ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }
    std::string Stderr() {
        std::string text;
        char chunk[512];
        ssize_t n;
        while ((n = read(m_err, chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }
    // Exit status after `ms`, or -1 when it is still running then.
    int WaitExit(int ms) {
        for (int waited = 0; waited <= ms; waited += 10) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
    void Signal(int sig) { kill(m_pid, sig); }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_out = -1;
    int m_err = -1;
    std::string m_buffer;
};

int PortOf(const std::string& listeningLine) {
    const size_t at = listeningLine.find("port ");
    return at == std::string::npos ? -1 : std::atoi(listeningLine.c_str() + at + 5);
}

TEST(Vk9000Test, DemoOnAFreshFolderCreatesTheInstanceServesItAndStopsOnSigterm) {
    vktest::CTempHome home("demo");
    const std::string dir = home.Path() + "inst";
    // The demo's console address is held by another program (or by a demo of another test): the
    // demo still serves, without its console.
    int error = 0;
    SOCKET_T consoleTaken = PlatListen(8210, "", 5, error);
    CDaemon daemon({"--demo", dir, "--port", "0"});
    const std::string line = daemon.WaitForLine("vk9000: listening on port", 240000);
    ASSERT_FALSE(line.empty()) << daemon.Stderr();
    if (consoleTaken != INVALID_SOCKET_T) {
        // The console is tried once the listener runs.
        std::string log;
        for (int i = 0; i < 100 && log.find("console not started") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            log.clear();
            for (const auto& entry : std::filesystem::directory_iterator(dir))
                if (std::string text; entry.path().extension() == ".log" &&
                                      PlatReadFile(entry.path().string(), text, 1 << 20) == 0)
                    log += text;
        }
        EXPECT_NE(log.find("console not started"), std::string::npos) << log;
        PlatCloseSocket(consoleTaken);
    }
    EXPECT_NE(line.find("(home " + dir + "/)"), std::string::npos) << line;
    EXPECT_TRUE(PlatFileExists(dir + "/vk9000.ini"));
    EXPECT_TRUE(PlatFileExists(dir + "/backend/vk9000.strata"));

    SOCKET_T c = vktest::Connect(PortOf(line));
    ASSERT_NE(c, INVALID_SOCKET_T);
    EXPECT_FALSE(vktest::ClosedByServer(c, 300));  // a session holds it open
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.WaitExit(5000), 0);
    EXPECT_TRUE(vktest::ClosedByServer(c, 1000));
    PlatCloseSocket(c);
}

// An instance folder with the empty store that strata create makes.
void MakeStore(const std::string& home) {
    PlatMakeDirectories(home + "backend");
    const std::string strata = std::string(std::getenv("VELKAN_BINARY_DIR")) + "/bin/strata";
    ASSERT_EQ(std::system((strata + " create " + home + "backend/Lumo.strata >/dev/null").c_str()), 0);
}

// Issue 24: an instance without a store listened and refused every Init.
TEST(Vk9000Test, ALocalInstanceWithoutItsStoreExitsWithTwoNamingTheStrataCommands) {
    vktest::CTempHome home("nostore");
    CDaemon daemon({"--home", home.Path(), "--port", "0"});
    ASSERT_EQ(daemon.WaitExit(20000), 2);
    const std::string err = daemon.Stderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    for (const std::string& part : {"no store " + home.Path() + "backend/Lumo.strata", std::string("strata create "),
                                    std::string("strata db add ")})
        EXPECT_NE(err.find(part), std::string::npos) << err;
    EXPECT_FALSE(PlatFileExists(home.Path() + "vk9000.pid"));
    EXPECT_TRUE(PlatIsDirectory(home.Path() + "backend"));  // the named create command can work
}

TEST(Vk9000Test, SigintStopsAHomeInstanceCleanly) {
    vktest::CTempHome home("home");
    MakeStore(home.Path());
    CDaemon daemon({"--home", home.Path(), "--port", "0"});
    ASSERT_FALSE(daemon.WaitForLine("listening on port", 20000).empty()) << daemon.Stderr();
    // Without --console and [Console] Listen the console is off, and both the output and --help
    // say how to turn it on.
    EXPECT_FALSE(daemon.WaitForLine("console off: turn it on with --console", 5000).empty());
    CDaemon help({"--help"});
    EXPECT_FALSE(help.WaitForLine("[Console] Listen", 10000).empty());
    daemon.Signal(SIGINT);
    EXPECT_EQ(daemon.WaitExit(5000), 0);
}

TEST(Vk9000Test, PortInUseExitsWithThreeAndSaysWhy) {
    vktest::CTempHome home("taken");
    const int port = vktest::FreePort();
    int error = 0;
    SOCKET_T taken = PlatListen(static_cast<unsigned short>(port), "", 5, error);
    ASSERT_NE(taken, INVALID_SOCKET_T);
    MakeStore(home.Path());
    CDaemon daemon({"--home", home.Path(), "--port", std::to_string(port)});
    EXPECT_EQ(daemon.WaitExit(20000), 3);
    EXPECT_NE(daemon.Stderr().find("vk9000: cannot listen on port " + std::to_string(port) +
                                   ": Address already in use"),
              std::string::npos);
    PlatCloseSocket(taken);
}

// Issue 22: a pid file copied from a served folder named a live vk9000, so the copy was refused.
TEST(Vk9000Test, PidFileLockDecidesWhetherAFolderIsServed) {
    vktest::CTempHome home("pidlock");
    const std::string served = home.Path() + "served", copy = home.Path() + "copy", stale = home.Path() + "stale";
    MakeStore(served + "/");
    CDaemon first({"--home", served, "--port", "0"});
    ASSERT_FALSE(first.WaitForLine("listening on port", 20000).empty()) << first.Stderr();
    std::string pid;
    ASSERT_EQ(PlatReadFile(served + "/vk9000.pid", pid, 64), 0);
    const std::string strangers[][2] = {{copy, pid}, {stale, "999999\n"}, {stale + "2", "not a pid"}};
    for (const auto& [dir, text] : strangers) {
        MakeStore(dir + "/");
        ASSERT_EQ(PlatWriteFileAtomic(dir + "/vk9000.pid", text.data(), text.size()), 0);
        CDaemon other({"--home", dir, "--port", "0"});
        EXPECT_FALSE(other.WaitForLine("listening on port", 20000).empty()) << dir << other.Stderr();
        other.Signal(SIGTERM);
        EXPECT_EQ(other.WaitExit(5000), 0);
        EXPECT_FALSE(PlatFileExists(dir + "/vk9000.pid"));
    }
    CDaemon second({"--home", served, "--port", "0"});
    EXPECT_EQ(second.WaitExit(20000), 4);
    EXPECT_NE(second.Stderr().find("another vk9000 (pid " + pid.substr(0, pid.find('\n')) + ") serves"),
              std::string::npos);
}

// Issue 24: a second vk9000 bound the console port of the first (SO_REUSEPORT) and the kernel split
// the browsers between the two.
TEST(Vk9000Test, ASecondInstanceIsRefusedTheConsolePortOfTheFirst) {
    vktest::CTempHome first("console1"), second("console2");
    const std::string console = "127.0.0.1:" + std::to_string(vktest::FreePort());
    for (auto* home : {&first, &second}) {
        MakeStore(home->Path());
        ASSERT_EQ(std::system(("printf 'pw\\n' | " + std::string(std::getenv("VELKAN_BINARY_DIR")) +
                               "/bin/vk9000 --home " + home->Path() + " --set-console-password >/dev/null").c_str()),
                  0);
    }
    CDaemon a({"--home", first.Path(), "--port", "0", "--console", console});
    ASSERT_FALSE(a.WaitForLine("vk9000: console at http://" + console, 20000).empty()) << a.Stderr();
    CDaemon b({"--home", second.Path(), "--port", "0", "--console", console});
    ASSERT_EQ(b.WaitExit(20000), 3);  // before reading its stderr, which a running one keeps open
    EXPECT_NE(b.Stderr().find("cannot listen on " + console), std::string::npos);
}

TEST(Vk9000Test, BadArgumentsAndBadSettingsHaveTheirOwnExitCodes) {
    CDaemon none({});
    EXPECT_EQ(none.WaitExit(10000), 1);
    EXPECT_NE(none.Stderr().find("--home"), std::string::npos);

    vktest::CTempHome home("badini");
    const std::string ini = "[common]\r\nListenerPort=70000\r\n";
    ASSERT_EQ(PlatWriteFileAtomic(home.Path() + "vk9000.ini", ini.data(), ini.size()), 0);
    CDaemon bad({"--home", home.Path()});
    EXPECT_EQ(bad.WaitExit(10000), 2);
    EXPECT_NE(bad.Stderr().find("ListenerPort"), std::string::npos);
}

}  // namespace
