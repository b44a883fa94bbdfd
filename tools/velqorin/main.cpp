// velqorin: find Velqorin boxes from a terminal or a script, and set them up.
#include <CLI/CLI.hpp>

#include "Apply.h"
#include "Commands.h"
#include "Plan.h"
#include "Watch.h"

using namespace velqorin::cli;

namespace {

CLI::Option* addRequests(CLI::App* command, int& requests) {
    return command
        ->add_option("--requests", requests,
                     "Send the discovery request N times on each adapter within its listening "
                     "window (1 to 5, default 3), and again up to 5 times while the replies "
                     "show frames lost on the way, so that a box is found even then; 1 sends "
                     "it once")
        ->type_name("N")
        ->check(CLI::Range(1, CVelqorinNetworkAnalyse::kMaxRequests));
}

void addTarget(CLI::App* command, BoxTarget& target, const char* secret) {
    command->add_option("serial", target.serial, "Serial number of the box")->required();
    command->add_option("-i,--interface", target.interfaces,
                        "Sweep only this adapter (may be repeated); needed when the box answers "
                        "on several");
    command->add_flag("--password-stdin", target.passwordStdin,
                      std::string("Read the ") + secret +
                          " from the first line of standard input instead of the terminal");
    addRequests(command, target.requests);
    command->add_option("--mac", target.mac,
                        "The box's MAC address, needed when several stations answer with its "
                        "serial number (two boxes share it, or one answers in its name)")
        ->type_name("MAC");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Find Velqorin boxes on the local network and set them up."};
    app.require_subcommand(1);
    app.footer(kExitCodesHelp);

    ScanOptions scanOptions;
    auto* scanCommand = app.add_subcommand("scan", "Sweep the Ethernet adapters and list every box that answers");
    scanCommand->add_option("-i,--interface", scanOptions.interfaces,
                            "Sweep only this adapter (may be repeated)");
    auto* jsonFlag = scanCommand->add_flag("--json", scanOptions.json, "One JSON record per box");
    scanCommand->add_flag("--csv", scanOptions.csv,
                          "CSV with a header line; a cell that a spreadsheet would run as a "
                          "formula (beginning with =, +, - or @) gets a leading '")->excludes(jsonFlag);
    scanCommand->add_flag("--dial-up", scanOptions.dialUp,
                          "Also ask the boxes behind the active point-to-point (dial-up) links, "
                          "over TCP port 5000");
    scanCommand->add_flag("--sync", scanOptions.sync,
                          "List the synchronisation chains instead: each master, then its "
                          "followers by floor and serial number, masters in serial order");
    scanCommand->add_flag("--one-by-one", scanOptions.oneByOne,
                          "Listen to one adapter after the other (about 3 s each), as programs "
                          "using the library's ExternAnalyse do, instead of all at once");
    scanCommand->add_flag("-v,--verbose", scanOptions.verbose,
                          "Tell on standard error how many replies each adapter gave and how "
                          "many frames it lost because its capture buffer was full");
    int watchSeconds = 0;
    auto* watchOption =
        scanCommand
            ->add_option("--watch", watchSeconds,
                         "Sweep every SECONDS (default 10) until Ctrl+C and print one line per "
                         "change, time-stamped: a box that appeared, went, or changed address, "
                         "mode, neighbourhood, version or synchronisation (with --json one JSON "
                         "object a line). Ctrl+C ends it with exit code 130, also mid-sweep")
            ->expected(0, 1)
            ->default_str(std::to_string(kWatchDefaultSeconds))
            ->type_name("[SECONDS]")
            ->check(CLI::Range(1, kWatchMaxSeconds));
    watchOption->excludes(scanCommand->get_option("--csv"))
        ->excludes(scanCommand->get_option("--sync"));
    addRequests(scanCommand, scanOptions.requests)
        ->excludes(scanCommand->get_option("--one-by-one"));
    scanCommand
        ->add_option("--gone-after", scanOptions.goneAfter,
                     "With --watch: report a box as gone only once it has been missing from K "
                     "sweeps in a row (default 2), so that one lost reply does not make it "
                     "come and go")
        ->type_name("K")
        ->check(CLI::Range(1, 1000))
        ->needs(watchOption);

    bool interfacesJson = false;
    auto* interfacesCommand =
        app.add_subcommand("interfaces", "List the workstation's interfaces as the sweep records them");
    interfacesCommand->add_flag("--json", interfacesJson, "As JSON");

    auto* diagCommand = app.add_subcommand(
        "diag", "Print the network diagnostic reports: host parameters, adapters, dial-up links");

    std::string address;
    auto* pingCommand = app.add_subcommand("ping", "Send one ICMP echo and wait 500 ms for it");
    pingCommand->add_option("address", address, "IPv4 address, dotted")->required();

    ConfigureOptions configureOptions;
    auto* configureCommand = app.add_subcommand(
        "configure", "Give a box DHCP or a fixed address, after checking it fits the workstation's network");
    addTarget(configureCommand, configureOptions.target, "password");
    auto* dhcpFlag = configureCommand->add_flag("--dhcp", configureOptions.dhcp, "Use DHCP");
    auto* ipOption = configureCommand->add_option("--ip", configureOptions.ip, "Fixed address");
    auto* maskOption = configureCommand->add_option("--mask", configureOptions.mask, "Subnet mask of the fixed address");
    ipOption->needs(maskOption)->excludes(dhcpFlag);
    maskOption->needs(ipOption);
    std::string neighbourhood;
    configureCommand->add_option("--neighbourhood", neighbourhood,
                                 "Appear in the network neighbourhood: on or off (default: as now)")
        ->check(CLI::IsMember({"on", "off"}));
    configureCommand->add_flag("--restart", configureOptions.restart, "Restart the box afterwards");
    configureCommand->add_flag("-y,--yes", configureOptions.yes, "Go on without asking when the settings look doubtful");

    SyncOptions syncOptions;
    auto* syncCommand = app.add_subcommand("sync", "Make a box a synchronisation master or a follower");
    addTarget(syncCommand, syncOptions.target, "password");
    auto* masterFlag = syncCommand->add_flag("--master", syncOptions.master, "Make the box a master");
    auto* followOption = syncCommand->add_option("--follow", syncOptions.follow,
                                                 "Serial number of the master to follow");
    auto* floorOption = syncCommand->add_option("--floor", syncOptions.floor,
                                                "Floor in the chain: -5 to -1 or 1 to 5");
    followOption->needs(floorOption)->excludes(masterFlag);
    floorOption->needs(followOption);
    syncCommand->add_flag("--now", syncOptions.now, "Synchronise at once");

    ApplyOptions applyOptions;
    auto* applyCommand = app.add_subcommand(
        "apply",
        "Commission many boxes from one CSV plan: check the whole plan, sweep once, send each "
        "box only what differs, then sweep again to confirm");
    applyCommand->footer(
        std::string("The plan's header line names its columns, in any order: ") + kPlanColumns +
        ". serial is required; an empty cell keeps what the box has. dhcp, neighbourhood and "
        "restart take yes or no; an ip (with its mask) means a fixed address; sync takes "
        "master or follow, and follow needs master (the master's serial number) and floor "
        "(-5 to -1 or 1 to 5). A row's password, else --password-stdin's, else one asked "
        "once. Each row ends as one of: done, unchanged, not found, ambiguous, address in "
        "use, refused, no answer, not confirmed.\n" +
        kApplyExitCodesHelp);
    applyCommand->add_option("plan", applyOptions.plan, "The plan: a CSV file with a header line")
        ->required()
        ->type_name("PLAN");
    applyCommand->add_option("-i,--interface", applyOptions.interfaces,
                             "Sweep only this adapter (may be repeated); needed for a box that "
                             "answers on several");
    applyCommand->add_flag("--dry-run", applyOptions.dryRun,
                           "Sweep and show each row's current and planned settings and "
                           "compatibility verdict; send nothing");
    applyCommand->add_flag("--password-stdin", applyOptions.passwordStdin,
                           "Read the password for the rows without one from the first line of "
                           "standard input instead of the terminal");
    applyCommand->add_flag("--json", applyOptions.json, "The results as a JSON array");
    applyCommand->add_flag("--force", applyOptions.force,
                           "Send a new address even when it answers a ping");
    addRequests(applyCommand, applyOptions.requests);

    BoxTarget unlockTarget;
    auto* unlockCommand = app.add_subcommand(
        "unlock", "Clear a box's administrator password with an unlock code from support");
    addTarget(unlockCommand, unlockTarget, "unlock code");

    try {
        app.parse(argc, argv);
        if (*configureCommand && !configureOptions.dhcp && configureOptions.ip.empty())
            throw CLI::ValidationError("configure", "give --dhcp, or --ip and --mask");
        if (!neighbourhood.empty()) configureOptions.neighbourhood = neighbourhood == "on";
        if (*syncCommand && !syncOptions.master && !syncOptions.follow)
            throw CLI::ValidationError("sync", "give --master, or --follow and --floor");
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }
    if (*scanCommand && watchOption->count() > 0) return watch(scanOptions, watchSeconds);
    if (*scanCommand) return scan(scanOptions);
    if (*applyCommand) return apply(applyOptions);
    if (*interfacesCommand) return interfaces(interfacesJson);
    if (*pingCommand) return ping(address);
    if (*diagCommand) return diag();
    if (*configureCommand) return configure(configureOptions);
    if (*syncCommand) return sync(syncOptions);
    if (*unlockCommand) return unlock(unlockTarget);
    return kUsage;
}
