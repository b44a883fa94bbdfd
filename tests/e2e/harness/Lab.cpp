#include "harness/Lab.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness/Error.h"
#include "harness/Process.h"

namespace velqorin::e2e {

namespace {

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

unsigned count(std::string_view value, std::size_t lineNumber) {
    const std::string text(value);
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n > 1000)
        throw HarnessError("lab state line " + std::to_string(lineNumber) + ": not a count: '" +
                           text + "'");
    return static_cast<unsigned>(n);
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

LabInfo parseLabState(std::string_view text) {
    LabInfo lab;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNumber;
        if (line.empty()) continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            throw HarnessError("lab state line " + std::to_string(lineNumber) + " has no '='");
        const std::string_view key = line.substr(0, equals);
        const std::string_view value = line.substr(equals + 1);
        const auto fields = words(value);
        auto need = [&](std::size_t n) {
            if (fields.size() != n)
                throw HarnessError("lab state line " + std::to_string(lineNumber) + ": " +
                                   std::string(key) + " needs " + std::to_string(n) + " fields");
        };
        if (key == "name") {
            lab.name = value;
        } else if (key == "adapters") {
            lab.adapterCount = count(value, lineNumber);
        } else if (key == "segments") {
            lab.segmentCount = count(value, lineNumber);
        } else if (key == "mac_base") {
            lab.macBase = value;
        } else if (key == "netns") {
            lab.namespaces.emplace_back(value);
        } else if (key == "bridge") {
            need(3);
            lab.bridges.push_back({fields[0], parseMac(fields[1]), fields[2]});
        } else if (key == "adapter") {
            need(5);
            lab.adapters.push_back({fields[0], parseMac(fields[1]), fields[2], fields[3], fields[4]});
        } else if (key == "ppp") {
            lab.linkCount = count(value, lineNumber);
        } else if (key == "link") {
            need(4);
            lab.links.push_back({fields[0], fields[1], fields[2], fields[3]});
        }
        // Keys this harness does not know are for other readers; they are skipped.
    }
    if (lab.name.empty()) throw HarnessError("lab state has no name= line");
    return lab;
}

LabInfo readLab(const std::string& name, const std::string& stateDir) {
    const std::string path = stateDir + "/" + name + ".state";
    std::ifstream in(path);
    if (!in)
        throw HarnessError("lab " + name + " is not up (no " + path +
                           "); start it with `lab/lab up " + name +
                           "` or run the test through ctest, whose fixture does");
    std::ostringstream text;
    text << in.rdbuf();
    LabInfo lab = parseLabState(text.str());
    if (lab.adapters.size() != lab.adapterCount)
        throw HarnessError("lab " + name + " is incomplete: " + std::to_string(lab.adapters.size()) +
                           " of " + std::to_string(lab.adapterCount) +
                           " adapters recorded; an `up` may still be running");
    if (lab.links.size() != lab.linkCount)
        throw HarnessError("lab " + name + " is incomplete: " + std::to_string(lab.links.size()) +
                           " of " + std::to_string(lab.linkCount) +
                           " point-to-point links recorded; an `up` may still be running");
    return lab;
}

std::string labNameFromEnvironment() { return environment("VELQORIN_LAB"); }
std::string labScriptFromEnvironment() { return environment("VELQORIN_LAB_SCRIPT"); }
std::string boxSimFromEnvironment() { return environment("VELQORIN_BOX_SIM"); }

std::optional<std::string> labUnavailable() {
    if (::geteuid() != 0) return "the e2e tests need root to enter the lab's namespaces";
    if (labNameFromEnvironment().empty())
        return "VELQORIN_LAB names no lab; run the e2e tests through ctest";
    return std::nullopt;
}

void setAdapterUp(const LabInfo& lab, unsigned index, bool up, std::chrono::milliseconds timeout) {
    if (index >= lab.adapters.size())
        throw HarnessError("lab " + lab.name + " has no adapter " + std::to_string(index));
    const LabAdapter& adapter = lab.adapters[index];
    runChecked({"ip", "-n", lab.workstation(), "link", "set", adapter.name, up ? "up" : "down"});
    if (!up) return;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string port =
            runChecked({"bridge", "-n", lab.lan(), "link", "show", "dev", adapter.port});
        const std::string link =
            runChecked({"ip", "-n", lab.workstation(), "link", "show", "dev", adapter.name});
        if (port.find("state forwarding") != std::string::npos &&
            link.find("state UP") != std::string::npos)
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            throw HarnessError(adapter.name + " of lab " + lab.name + " was brought up but " +
                               adapter.port + " is not forwarding after " +
                               std::to_string(timeout.count()) + " ms:\n" + port + link);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

AdapterDown::AdapterDown(const LabInfo& lab, unsigned index) : lab_(lab), index_(index) {
    setAdapterUp(lab_, index_, false);
}

AdapterDown::~AdapterDown() {
    try {
        setAdapterUp(lab_, index_, true);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "cannot bring the adapter up again: " << e.what();
    }
}

}  // namespace velqorin::e2e
