// What a box's Send and a batch of commands share: the configuration operations' writes,
// the command frame, its answer window and the test that ends it.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <ctime>
#include <optional>

#include "velqorin/BoxOnNetwork.h"
#include "velqorin/CommandBatch.h"

namespace velqorin {

// The pause between a command and the start of its answer window, and the window, in
// whole seconds of the calendar clock checked after each read: about 2.1 to 4.1 s.
inline constexpr std::chrono::milliseconds kCommandPause{100};
inline constexpr std::time_t kAnswerWindowSeconds = 2;

// The fields and password that each configuration operation writes into the box, and
// the command it then sends.
CommandCode writeNetwork(CVelqorinBoxOnNetwork& box, const char* password, bool dhcp,
                         const sockaddr_storage& address, const sockaddr_storage& mask,
                         bool neighbourhood, bool restart);
CommandCode writeNetworkSpeed(CVelqorinBoxOnNetwork& box, const char* password,
                              T_INI_VITESSE_RESEAU speed, bool restart);
CommandCode writeSynchro(CVelqorinBoxOnNetwork& box, const char* password, bool masterMode,
                         unsigned int master, int floor, bool syncNow);
CommandCode writeUnlock(CVelqorinBoxOnNetwork& box, const char* unlockCode);

// The command frame for the box's stored record and password; false when no response
// can be computed. The caller wipes the password and the frame's credential once it is out.
bool buildCommand(const CVelqorinBoxOnNetwork& box, CommandCode code, TAnalyseBuffer& command);
// Wipes the box's password and the command's credential.
void wipeSecrets(CVelqorinBoxOnNetwork& box, TAnalyseBuffer& command);

// When `frame` answers `command`, it becomes the box's stored record and the command's
// result is returned.
std::optional<int> takeAnswer(CVelqorinBoxOnNetwork& box, const TAnalyseBuffer& command,
                              const std::uint8_t* frame, std::size_t capturedLength);

}  // namespace velqorin
