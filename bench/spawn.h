#ifndef BENCH_SPAWN_H
#define BENCH_SPAWN_H

// Starting the programs a benchmark measures.

#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

// Starts command (looked up in PATH) with the caller's environment and
// extraEnv before it, standard output to outPath and standard error to
// /dev/null: their own messages are not what is measured. The child's pid,
// or -1.
inline pid_t spawnQuiet(const std::vector<std::string> &command, const std::vector<std::string> &extraEnv,
                        const std::string &outPath)
{
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore = extraEnv;
    for (char **e = environ; *e; ++e)
        envStore.push_back(*e);
    std::vector<char *> envp;
    for (std::string &e : envStore)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -1;
}

#endif
