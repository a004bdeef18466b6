// Running a program and waiting for it (see process.h).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"
#include "platform/syserror.h"

extern char** environ;

int PlatRunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   const std::string& outputFile, std::string& error) {
    if (argv.empty()) {
        error = "no program to run";
        return -1;
    }
    std::vector<char*> args, env;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    for (const std::string& e : extraEnv)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "cannot run " + argv[0] + ": " + PlatSystemErrorText(rc);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "cannot wait for " + argv[0] + ": " + PlatSystemErrorText(errno);
            return -1;
        }
    }
    if (!WIFEXITED(status)) {
        error = argv[0] + " was ended by signal " + std::to_string(WTERMSIG(status));
        return -1;
    }
    return WEXITSTATUS(status);
}
