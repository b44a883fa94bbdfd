// velqorin: find Velqorin boxes from a terminal or a script, and set them up.
#include <CLI/CLI.hpp>

#include "Apply.h"
#include "Commands.h"
#include "Exporter.h"
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

// What the command line asked for: each subcommand's options and whether it was chosen.
struct Invocation {
    ScanOptions scanOptions;
    int watchSeconds = 0;
    bool interfacesJson = false;
    std::string address;
    ConfigureOptions configureOptions;
    std::string neighbourhood;
    SyncOptions syncOptions;
    ApplyOptions applyOptions;
    BoxTarget unlockTarget;
    ExporterOptions exporterOptions;

    CLI::App* scanCommand = nullptr;
    CLI::Option* watchOption = nullptr;
    CLI::App* interfacesCommand = nullptr;
    CLI::App* diagCommand = nullptr;
    CLI::App* pingCommand = nullptr;
    CLI::App* configureCommand = nullptr;
    CLI::App* syncCommand = nullptr;
    CLI::App* applyCommand = nullptr;
    CLI::App* unlockCommand = nullptr;
    CLI::App* exporterCommand = nullptr;
};

void addScan(CLI::App& app, Invocation& in) {
    auto* scanCommand = in.scanCommand = app.add_subcommand("scan", "Sweep the Ethernet adapters and list every box that answers");
    scanCommand->add_option("-i,--interface", in.scanOptions.interfaces,
                            "Sweep only this adapter (may be repeated)");
    auto* jsonFlag = scanCommand->add_flag("--json", in.scanOptions.json, "One JSON record per box");
    scanCommand->add_flag("--csv", in.scanOptions.csv,
                          "CSV with a header line; a cell that a spreadsheet would run as a "
                          "formula (beginning with =, +, - or @) gets a leading '")->excludes(jsonFlag);
    scanCommand->add_flag("--dial-up", in.scanOptions.dialUp,
                          "Also ask the boxes behind the active point-to-point (dial-up) links, "
                          "over TCP port 5000");
    scanCommand->add_flag("--sync", in.scanOptions.sync,
                          "List the synchronisation chains instead: each master, then its "
                          "followers by floor and serial number, masters in serial order");
    scanCommand->add_flag("--one-by-one", in.scanOptions.oneByOne,
                          "Listen to one adapter after the other (about 3 s each), as programs "
                          "using the library's ExternAnalyse do, instead of all at once");
    scanCommand->add_flag("-v,--verbose", in.scanOptions.verbose,
                          "Tell on standard error how many replies each adapter gave and how "
                          "many frames it lost because its capture buffer was full");
    in.watchOption =
        scanCommand
            ->add_option("--watch", in.watchSeconds,
                         "Sweep every SECONDS (default 10) until Ctrl+C and print one line per "
                         "change, time-stamped: a box that appeared, went, or changed address, "
                         "mode, neighbourhood, version or synchronisation (with --json one JSON "
                         "object a line). Ctrl+C ends it with exit code 130, also mid-sweep")
            ->expected(0, 1)
            ->default_str(std::to_string(kWatchDefaultSeconds))
            ->type_name("[SECONDS]")
            ->check(CLI::Range(1, kWatchMaxSeconds));
    in.watchOption->excludes(scanCommand->get_option("--csv"))
        ->excludes(scanCommand->get_option("--sync"));
    addRequests(scanCommand, in.scanOptions.requests)
        ->excludes(scanCommand->get_option("--one-by-one"));
    scanCommand
        ->add_option("--gone-after", in.scanOptions.goneAfter,
                     "With --watch: report a box as gone only once it has been missing from K "
                     "sweeps in a row (default 2), so that one lost reply does not make it "
                     "come and go")
        ->type_name("K")
        ->check(CLI::Range(1, 1000))
        ->needs(in.watchOption);

}

void addInspection(CLI::App& app, Invocation& in) {
    in.interfacesCommand =
        app.add_subcommand("interfaces", "List the workstation's interfaces as the sweep records them");
    in.interfacesCommand->add_flag("--json", in.interfacesJson, "As JSON");

    in.diagCommand = app.add_subcommand(
        "diag", "Print the network diagnostic reports: host parameters, adapters, dial-up links");

    in.pingCommand = app.add_subcommand("ping", "Send one ICMP echo and wait 500 ms for it");
    in.pingCommand->add_option("address", in.address, "IPv4 address, dotted")->required();

}

void addConfigure(CLI::App& app, Invocation& in) {
    auto* configureCommand = in.configureCommand = app.add_subcommand(
        "configure", "Give a box DHCP or a fixed address, after checking it fits the workstation's network");
    addTarget(configureCommand, in.configureOptions.target, "password");
    auto* dhcpFlag = configureCommand->add_flag("--dhcp", in.configureOptions.dhcp, "Use DHCP");
    auto* ipOption = configureCommand->add_option("--ip", in.configureOptions.ip, "Fixed address");
    auto* maskOption = configureCommand->add_option("--mask", in.configureOptions.mask, "Subnet mask of the fixed address");
    ipOption->needs(maskOption)->excludes(dhcpFlag);
    maskOption->needs(ipOption);
    configureCommand->add_option("--neighbourhood", in.neighbourhood,
                                 "Appear in the network neighbourhood: on or off (default: as now)")
        ->check(CLI::IsMember({"on", "off"}));
    configureCommand->add_flag("--restart", in.configureOptions.restart, "Restart the box afterwards");
    configureCommand->add_flag("-y,--yes", in.configureOptions.yes, "Go on without asking when the settings look doubtful");

}

void addSync(CLI::App& app, Invocation& in) {
    auto* syncCommand = in.syncCommand = app.add_subcommand("sync", "Make a box a synchronisation master or a follower");
    addTarget(syncCommand, in.syncOptions.target, "password");
    auto* masterFlag = syncCommand->add_flag("--master", in.syncOptions.master, "Make the box a master");
    auto* followOption = syncCommand->add_option("--follow", in.syncOptions.follow,
                                                 "Serial number of the master to follow");
    auto* floorOption = syncCommand->add_option("--floor", in.syncOptions.floor,
                                                "Floor in the chain: -5 to -1 or 1 to 5");
    followOption->needs(floorOption)->excludes(masterFlag);
    floorOption->needs(followOption);
    syncCommand->add_flag("--now", in.syncOptions.now, "Synchronise at once");

}

void addApply(CLI::App& app, Invocation& in) {
    auto* applyCommand = in.applyCommand = app.add_subcommand(
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
    applyCommand->add_option("plan", in.applyOptions.plan, "The plan: a CSV file with a header line")
        ->required()
        ->type_name("PLAN");
    applyCommand->add_option("-i,--interface", in.applyOptions.interfaces,
                             "Sweep only this adapter (may be repeated); needed for a box that "
                             "answers on several");
    applyCommand->add_flag("--dry-run", in.applyOptions.dryRun,
                           "Sweep and show each row's current and planned settings and "
                           "compatibility verdict; send nothing");
    applyCommand->add_flag("--password-stdin", in.applyOptions.passwordStdin,
                           "Read the password for the rows without one from the first line of "
                           "standard input instead of the terminal");
    applyCommand->add_flag("--json", in.applyOptions.json, "The results as a JSON array");
    applyCommand->add_flag("--force", in.applyOptions.force,
                           "Send a new address even when it answers a ping");
    applyCommand->add_option("--jobs", in.applyOptions.jobs,
                             "Commands in flight at once on each adapter (default " +
                                 std::to_string(kDefaultApplyJobs) +
                                 "); 1 sends one row after the other, each after its ping")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1024}));
    addRequests(applyCommand, in.applyOptions.requests);

}

void addUnlock(CLI::App& app, Invocation& in) {
    in.unlockCommand = app.add_subcommand(
        "unlock", "Clear a box's administrator password with an unlock code from support");
    addTarget(in.unlockCommand, in.unlockTarget, "unlock code");

}

void addExporter(CLI::App& app, Invocation& in) {
    in.exporterCommand = app.add_subcommand(
        "exporter",
        "Sweep every interval and serve the boxes of the last complete sweep to Prometheus at "
        "/metrics, until SIGTERM or Ctrl+C");
    ExporterOptions& o = in.exporterOptions;
    in.exporterCommand
        ->add_option("--listen", o.listen,
                     "Where to serve: ADDRESS:PORT, [IPv6]:PORT, or :PORT for every IPv4 "
                     "address (default :" + std::to_string(kExporterDefaultPort) + ")")
        ->type_name("ADDR:PORT");
    in.exporterCommand
        ->add_option("--interval", o.seconds,
                     "Sweep every SECONDS (at least " + std::to_string(kExporterMinSeconds) +
                         ", default " + std::to_string(kExporterDefaultSeconds) + ")")
        ->type_name("SECONDS")
        ->check(CLI::Range(kExporterMinSeconds, kWatchMaxSeconds));
    addRequests(in.exporterCommand, o.requests);
    in.exporterCommand->add_flag("--dial-up", o.dialUp,
                                 "Also ask the boxes behind the active point-to-point (dial-up) "
                                 "links, over TCP port 5000");
    in.exporterCommand->add_option("-i,--interface", o.interfaces,
                                   "Sweep only this adapter (may be repeated)");
}

// The rules between options that CLI11 cannot state by itself.
void checkCombinations(Invocation& in) {
    if (*in.configureCommand && !in.configureOptions.dhcp && in.configureOptions.ip.empty())
        throw CLI::ValidationError("configure", "give --dhcp, or --ip and --mask");
    if (!in.neighbourhood.empty()) in.configureOptions.neighbourhood = in.neighbourhood == "on";
    if (*in.syncCommand && !in.syncOptions.master && !in.syncOptions.follow)
        throw CLI::ValidationError("sync", "give --master, or --follow and --floor");
}

int run(const Invocation& in) {
    if (*in.scanCommand && in.watchOption->count() > 0) return watch(in.scanOptions, in.watchSeconds);
    if (*in.scanCommand) return scan(in.scanOptions);
    if (*in.applyCommand) return apply(in.applyOptions);
    if (*in.interfacesCommand) return interfaces(in.interfacesJson);
    if (*in.pingCommand) return ping(in.address);
    if (*in.diagCommand) return diag();
    if (*in.configureCommand) return configure(in.configureOptions);
    if (*in.syncCommand) return sync(in.syncOptions);
    if (*in.unlockCommand) return unlock(in.unlockTarget);
    if (*in.exporterCommand) return exporter(in.exporterOptions);
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Find Velqorin boxes on the local network and set them up."};
    app.require_subcommand(1);
    app.footer(kExitCodesHelp);
    app.set_version_flag("--version", std::string("velqorin ") + VELQORIN_VERSION);

    Invocation in;
    addScan(app, in);
    addInspection(app, in);
    addConfigure(app, in);
    addSync(app, in);
    addApply(app, in);
    addUnlock(app, in);
    addExporter(app, in);
    try {
        app.parse(argc, argv);
        checkCombinations(in);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }
    return run(in);
}
