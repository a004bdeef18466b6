#pragma once
// Scripted installs: runs the setup sheet from an answers file instead of a person. The file is an
// ini with a [setup] section:
//   InstanceName, InstanceFolder, ProgramFolder   the installer pages' fields
//   Port                                          the port page's field
//   Mode = local | network, ServerAddress         the interface page
//   CloseRunning = yes | no                       answer to closing running programs (default no)
//   PortInUse = yes | no                          answer to keeping a taken port (default no)
//   EnableService = yes | no                      enable the systemd unit (default no)
//   Store = demo | empty | none, Database         the store page (default none; Database names
//                                                 the empty database)
//   Anonymous = yes | no                          anonymous clients search as "public" (default yes)
// A key left out keeps the wizard's default. The pages' checks apply as in the wizard; the first
// failure is printed as one line on stderr.
// Thread safety: none; the setup program's one thread.

#include <string>

class CSheetMain;

enum ESetupExit { kSetupOk = 0, kSetupCancelled = 1, kSetupFailed = 2, kSetupEnded = 3 };

// Runs `sheet` with the answers of `file`. One of ESetupExit; messages go to stderr, progress to
// stdout.
int RunAnswers(CSheetMain& sheet, const std::string& file);
