// Download progress reports (RegisterDownloadProgressCb) over real loopback HTTP transfers: who calls,
// how often, with what numbers, and that NULL stops them.
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/http_peer.h"
#include "support/upgrade_box.h"
#include "tbox/upgrade.h"

namespace {
using namespace tbox::test;

struct Report {
    int64_t received, total;
    gint64 at_us;
    std::thread::id thread;
};
std::mutex g_mutex;
std::vector<Report> g_reports;

void record(int64_t received, int64_t total) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.push_back({received, total, g_get_monotonic_time(), std::this_thread::get_id()});
}

class Progress : public UpgradeBox {
protected:
    void SetUp() override {
        UpgradeBox::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        put(www / "pkg", noise(4 << 20, 5));
        g_reports.clear();
    }
    int fetch(const std::string &path) {
        char status[TBOX_DOWNLOAD_STATUS_SIZE];
        return DownloadUpgradeFile(http->url(path).c_str(), (work / "out").c_str(), status);
    }
    TempDir www, work;
    std::unique_ptr<HttpPeer> http = std::make_unique<HttpPeer>(www.path);
};

TEST_F(Progress, ReportsComeFromTheDownloadingThreadAndEndWithTheWholeBody) {
    RegisterDownloadProgressCb(record);
    // Each row: path, expected result, expected last report (received, total), fewest reports.
    const struct {
        const char *path;
        int result;
        int64_t last_received, last_total;
        size_t at_least;
    } rows[] = {
        {"/files/pkg", 0, 4 << 20, 4 << 20, 1},
        {"/trickle/5", 0, 5, 5, 3},  // a byte every 0.4 s: reported as they come, total known from the start
        {"/drip/60", 0, 60 << 10, 60 << 10, 3},  // 60 pieces in 1.2 s: reports thinned out to four a second
    };
    for (const auto &row : rows) {
        g_reports.clear();
        std::thread::id downloader;
        int result = -2;
        std::thread t([&] {
            downloader = std::this_thread::get_id();
            result = fetch(row.path);
        });
        t.join();
        EXPECT_EQ(result, row.result) << row.path;
        ASSERT_GE(g_reports.size(), row.at_least) << row.path;
        EXPECT_EQ(g_reports.back().received, row.last_received) << row.path;
        EXPECT_EQ(g_reports.back().total, row.last_total) << row.path;
        EXPECT_LE(g_reports.size(), 8u) << row.path;
        for (size_t i = 0; i < g_reports.size(); ++i) {
            EXPECT_EQ(g_reports[i].thread, downloader) << row.path;
            EXPECT_GT(g_reports[i].received, 0) << row.path;
            EXPECT_EQ(g_reports[i].total, row.last_total) << row.path << ": the announced length";
            if (i > 0) {
                EXPECT_GE(g_reports[i].received, g_reports[i - 1].received) << row.path;
            }
            // At most four a second; only the final report may follow the one before it sooner.
            if (i > 0 && i + 1 < g_reports.size()) {
                EXPECT_GE(g_reports[i].at_us - g_reports[i - 1].at_us, 250000) << row.path << " report " << i;
            }
        }
    }
    RegisterDownloadProgressCb(nullptr);
}

std::atomic<int> g_replacedReports{0};
void count_replaced(int64_t, int64_t) {
    ++g_replacedReports;
}

TEST_F(Progress, FailedTransfersEndWithoutAFinalReportAndNullStopsReports) {
    RegisterDownloadProgressCb(count_replaced);
    RegisterDownloadProgressCb(record);  // the second registration replaces the first
    EXPECT_EQ(fetch("/files/pkg"), 0);
    EXPECT_FALSE(g_reports.empty());
    EXPECT_EQ(g_replacedReports, 0);
    g_reports.clear();
    EXPECT_EQ(fetch("/status/404"), -1);
    EXPECT_TRUE(g_reports.empty()) << "the error page is not the package";
    RegisterDownloadProgressCb(nullptr);
    EXPECT_EQ(fetch("/files/pkg"), 0);
    EXPECT_TRUE(g_reports.empty());
}

}  // namespace
