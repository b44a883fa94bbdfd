// Many boxes set up at once, for a program that commissions a whole site: the pings of
// many addresses together, and the commands of many boxes in flight together. Each
// address's and each box's result is the one ExternPingEx or the box's own configuration
// operation would give.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "velqorin/BoxOnNetwork.h"
#include "velqorin/Export.h"

namespace velqorin {

// ExternPingEx of every address at once: one echo each through one socket, each answered
// or not within 500 ms of its own request, about 500 ms in all. Result i is addresses[i]'s.
VELQORIN_API std::vector<bool> pingAddresses(const std::vector<sockaddr_storage>& addresses);

// The command a configuration operation ends with: its frame kind, and whether the
// password travels in clear (an unlock code).
struct CommandCode {
    unsigned char code;
    bool clearPassword;
};

// What a configuration operation does before it sends: writes its fields and password
// into the box and names the command. It runs when the command's turn comes, so that a
// box's second command is keyed with the challenge of its first one's answer.
using CommandPreparation = std::function<CommandCode(CVelqorinBoxOnNetwork&)>;

// ConfigNetwork, ConfigNetworkSpeed, ConfigSynchro and EffacerMdp as preparations. The
// texts are read when the command's turn comes: keep them until sendCommands returns.
VELQORIN_API CommandPreparation networkCommand(const char* password, bool dhcp, sockaddr_storage address,
                                               sockaddr_storage mask, bool neighbourhood, bool restart);
VELQORIN_API CommandPreparation networkSpeedCommand(const char* password, T_INI_VITESSE_RESEAU speed,
                                                    bool restart);
VELQORIN_API CommandPreparation synchroCommand(const char* password, bool masterMode, unsigned int master,
                                               int floor, bool syncNow);
VELQORIN_API CommandPreparation unlockCommand(const char* unlockCode);

// One box's commands, in order: each is sent once the one before it was accepted.
struct BoxCommands {
    CVelqorinBoxOnNetwork* box = nullptr;
    std::vector<CommandPreparation> commands;
};

inline constexpr std::size_t kDefaultCommandsInFlight = 64;

struct CommandBatchOptions {
    // Commands sent and not yet answered, on each adapter; at least 1.
    std::size_t inFlightPerAdapter = kDefaultCommandsInFlight;
    // Told how many boxes are done, each time one is.
    std::function<void(std::size_t done)> progress;
};

// Sends the boxes' commands, each once, and waits for their answers together: one capture
// per adapter, each answer taken by the box it answers (its MAC and protocol bytes), each
// command's window about 2.1 to 4.1 s from its own send. A box has one command in flight at
// a time. An answer replaces the box's stored record as its Send would. Result i holds the
// results of box i's commands that were sent, in order, up to the first one not accepted
// (kCommandAccepted, kCommandRefused or kCommandNoAnswer). On the caller's thread.
VELQORIN_API std::vector<std::vector<int>> sendCommands(const std::vector<BoxCommands>& boxes,
                                                        const CommandBatchOptions& options = {});

}  // namespace velqorin
