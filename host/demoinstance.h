#pragma once
// The demo instance of `vk9000 --demo DIR`: a back-end store with sample databases built by the
// demo store builder (scripts/make-demo-store.sh), and a vk9000.ini that serves it on a port that
// needs no root, with anonymous access as "public" and wrong logins refused.
// Thread safety: none; the daemon's main thread only.

#include <string>

constexpr unsigned kDemoPort = 2100;

// The demo store builder: $VELKAN_SOURCE_DIR/scripts/make-demo-store.sh when that variable is
// set, else the first scripts/make-demo-store.sh or share/velkan/scripts/make-demo-store.sh found
// in the executable's folder or one of its three parents (a source tree or an installed prefix).
// "" when there is none.
std::string FindDemoStoreScript(const std::string& executablePath);

// Makes `dir`, runs `script` for dir/backend (with `strata`, the store tool, when not ""), then
// writes dir/vk9000.ini (last, so a failed run leaves no instance behind and the next run tries
// again). False with `error` on failure.
bool CreateDemoInstance(const std::string& dir, const std::string& script, const std::string& strata,
                        std::string& error);

// The vk9000.ini text of a demo instance whose store is `instanceName`.
std::string DemoIniText(unsigned port, const std::string& instanceName);
