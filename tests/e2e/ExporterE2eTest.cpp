// velqorin exporter scraped by a real Prometheus server (Debian's), both in the lab's
// workstation namespace: a query returns every simulated box with its labels, and a box
// whose simulator stops turns to velqorin_box_up 0. Runs in the fixture lab "exporter".
#include <gtest/gtest.h>
#include <fcntl.h>
#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FleetSupport.h"
#include "harness/Error.h"
#include "harness/LabTest.h"
#include "harness/Netns.h"
#include "harness/Process.h"

namespace velqorin::e2e {
namespace {

constexpr int kExporterPort = 9358;
constexpr int kPrometheusPort = 9090;

class Exporter : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped()) return;
        dir_ = std::filesystem::temp_directory_path() /
               ("velqorin-exporter-e2e." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);

        json master = simBox("5001", "02:00:00:03:50:01", "192.0.2.51");
        json follower = simBox("5002", "02:00:00:03:50:02", "192.0.2.52");
        follower["sync"] = {{"slave", 1}, {"master", 5001}, {"floor", 2}, {"done", 1}, {"age", 3725}};
        staying_ = std::make_unique<SimProcess>(simOn(lab().name, "br0", {master, follower}));
        leaving_ = std::make_unique<SimProcess>(
            simOn(lab().name, "br0", {simBox("5003", "02:00:00:03:50:03", "192.0.2.53")}));

        exporterLog_ = dir_ / "exporter.err";
        exporter_ = spawnLogged({VELQORIN_CLI, "exporter", "--listen",
                                 "127.0.0.1:" + std::to_string(kExporterPort), "--interval", "10"},
                                exporterLog_);
        std::ofstream(dir_ / "prometheus.yml")
            << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
               "rule_files:\n  - " VELQORIN_ALERT_RULES "\n"
               "scrape_configs:\n  - job_name: velqorin\n    static_configs:\n"
               "      - targets: ['127.0.0.1:" << kExporterPort << "']\n";
        prometheus_ = spawnLogged({"prometheus", "--config.file=" + (dir_ / "prometheus.yml").string(),
                                   "--storage.tsdb.path=" + (dir_ / "data").string(),
                                   "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                                  dir_ / "prometheus.err");
    }

    void TearDown() override {
        prometheus_.terminate();
        exporter_.terminate();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    Child spawnLogged(std::vector<std::string> command, const std::filesystem::path& log) {
        std::vector<std::string> argv{"ip", "netns", "exec", lab().workstation()};
        argv.insert(argv.end(), command.begin(), command.end());
        logs_.push_back(Fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)));
        return Child::spawn(argv, {-1, logs_.back().get(), logs_.back().get()});
    }

    // GET, or POST of a form, on the workstation's loopback; nothing while the server is
    // not up yet.
    std::optional<std::string> get(int port, const std::string& path,
                                   const std::optional<httplib::Params>& form = std::nullopt) {
        const NetnsGuard inside(lab().workstation());
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(2);
        client.set_read_timeout(5);
        auto response = form ? client.Post(path.c_str(), *form) : client.Get(path.c_str());
        if (!response || response->status != 200) return std::nullopt;
        return response->body;
    }

    // The instant vector of `query`: each series' labels and value.
    std::vector<std::pair<std::map<std::string, std::string>, std::string>> query(const std::string& q) {
        const auto body = get(kPrometheusPort, "/api/v1/query", httplib::Params{{"query", q}});
        std::vector<std::pair<std::map<std::string, std::string>, std::string>> series;
        if (!body) return series;
        const json answer = json::parse(*body);
        for (const json& s : answer.at("data").at("result"))
            series.emplace_back(s.at("metric").get<std::map<std::string, std::string>>(),
                                s.at("value").at(1).get<std::string>());
        return series;
    }

    // Polls `query` until `done` holds of its result, for up to `timeout`.
    template <typename Done>
    bool waitFor(const std::string& q, Done done, std::chrono::seconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            if (done(query(q))) return true;
            std::this_thread::sleep_for(500ms);
        }
        return false;
    }

    std::string logs() const {
        std::string text;
        for (const char* name : {"exporter.err", "prometheus.err"}) {
            std::ifstream in(dir_ / name);
            text += std::string("--- ") + name + "\n" +
                    std::string(std::istreambuf_iterator<char>(in), {});
        }
        return text;
    }

    std::filesystem::path dir_;
    std::filesystem::path exporterLog_;
    std::unique_ptr<SimProcess> staying_, leaving_;
    std::vector<Fd> logs_;
    Child exporter_, prometheus_;
};

TEST_F(Exporter, PrometheusGetsEveryBoxWithItsLabelsAndABoxThatGoesTurnsToZero) {
    ASSERT_TRUE(waitFor("velqorin_box_info", [](const auto& r) { return r.size() == 3; }, 40s)) << logs();
    std::map<std::string, std::map<std::string, std::string>> bySerial;
    for (const auto& [labels, value] : query("velqorin_box_info")) {
        EXPECT_EQ(value, "1");
        bySerial[labels.at("serial")] = labels;
    }
    for (const auto& [serial, ip] : {std::pair{"5001", "192.0.2.51"}, {"5002", "192.0.2.52"}, {"5003", "192.0.2.53"}}) {
        ASSERT_TRUE(bySerial.count(serial)) << serial;
        const auto& labels = bySerial[serial];
        EXPECT_EQ(labels.at("ip"), ip);
        EXPECT_EQ(labels.at("mask"), "255.255.255.0");
        EXPECT_EQ(labels.at("adapter"), "vq0");
        EXPECT_EQ(labels.at("link"), "network");
        EXPECT_EQ(labels.at("job"), "velqorin");
    }
    const auto master = query("velqorin_box_sync_master");
    std::map<std::string, std::string> masterOf;
    for (const auto& [labels, value] : master) masterOf[labels.at("serial")] = value;
    EXPECT_EQ(masterOf["5001"], "1");
    EXPECT_EQ(masterOf["5002"], "0");
    const auto floor = query("velqorin_box_sync_floor{serial=\"5002\"}");
    ASSERT_EQ(floor.size(), 1u);
    EXPECT_EQ(floor[0].second, "2");
    const auto age = query("velqorin_box_sync_age_seconds{serial=\"5002\"}");
    ASSERT_EQ(age.size(), 1u);
    EXPECT_GE(std::stod(age[0].second), 3725);

    // The page a scrape gets, as the project's tool lints it.
    const auto page = get(kExporterPort, "/metrics");
    ASSERT_TRUE(page);
    std::ofstream(dir_ / "page.prom") << *page;
    const CommandResult lint =
        runCommand({"sh", "-c", "promtool check metrics < '" + (dir_ / "page.prom").string() + "'"});
    EXPECT_TRUE(lint.succeeded() && lint.output.empty()) << lint.output;

    leaving_->stop();
    EXPECT_TRUE(waitFor("velqorin_box_up{serial=\"5003\"} == 0", [](const auto& r) { return r.size() == 1; }, 40s))
        << logs();
    const auto up = query("velqorin_box_up == 1");
    EXPECT_EQ(up.size(), 2u) << "the other boxes stay";

    // SIGTERM ends the exporter, between sweeps or during one, within a second.
    const auto asked = std::chrono::steady_clock::now();
    const int status = exporter_.terminate(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describeStatus(status) << logs();
}

}  // namespace
}  // namespace velqorin::e2e
