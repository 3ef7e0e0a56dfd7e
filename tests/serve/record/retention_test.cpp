// Segment names and retention, on a scratch directory: names parse back to
// their times, a taken name is never reused, and deletion keeps what it
// must (the segment being written, the newest while space allows).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <utime.h>

extern "C" {
#include "record/retention.h"
#include "record/segments.h"
}

namespace {

constexpr gint64 kDay = 86400LL * G_USEC_PER_SEC;

class SegmentsOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/retention-XXXXXX";
        ASSERT_NE(g_mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // A segment of `bytes` whose data was last written `age_us` ago.
    std::string Make(int camera, gint64 start_us, size_t bytes, gint64 age_us) {
        gchar *path = segments_new_path(dir_.c_str(), camera, start_us);
        EXPECT_NE(path, nullptr);
        std::string out = path;
        g_free(path);
        std::ofstream(out) << std::string(bytes, 'x');
        const time_t when = (time_t)((g_get_real_time() - age_us) / G_USEC_PER_SEC);
        struct utimbuf times = {when, when};
        utime(out.c_str(), &times);
        return out;
    }

    std::vector<std::string> Listed(int camera = -1) {
        GPtrArray *all = segments_list(dir_.c_str(), camera);
        std::vector<std::string> names;
        for (guint i = 0; i < all->len; ++i)
            names.push_back(static_cast<segment *>(g_ptr_array_index(all, i))->relative);
        g_ptr_array_unref(all);
        return names;
    }

    std::string dir_;
};

// 2026-12-09T10:20:30Z
constexpr gint64 kStart = 1796811630LL * G_USEC_PER_SEC;

TEST_F(SegmentsOnDisk, NamesAreTheUtcTimeOfTheFirstFrameAndNeverReused) {
    Make(0, kStart, 10, 0);
    Make(0, kStart, 10, 0);  // the clock stepped back onto the same second
    Make(1, kStart - 1 * G_USEC_PER_SEC, 10, 0);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"cam1/2026-12-09/10-20-29.mp4", "cam0/2026-12-09/10-20-30.mp4",
                                                  "cam0/2026-12-09/10-20-30-2.mp4"}));
    EXPECT_EQ(Listed(0).size(), 2u);
    int camera = -1, suffix = -1;
    gint64 start = 0;
    ASSERT_EQ(segments_parse("cam0/2026-12-09/10-20-30-2.mp4", &camera, &start, &suffix), 0);
    EXPECT_EQ(camera, 0);
    EXPECT_EQ(start, kStart);
    EXPECT_EQ(suffix, 2);
    for (const char *bad : {"cam0/2026-12-09/10-20-30.mp4.part", "cam0/2026-13-09/10-20-30.mp4",
                            "cam0/../10-20-30.mp4", "cam0/2026-12-09/10-20-30-1.mp4", "cam0/2026-12-09/x.mp4"})
        EXPECT_NE(segments_parse(bad, &camera, &start, &suffix), 0) << bad;
}

TEST_F(SegmentsOnDisk, SegmentsOlderThanTheKeptDaysGoButNotTheOneBeingWritten) {
    Make(0, kStart - 9 * kDay, 10, 9 * kDay);
    const std::string writing = Make(0, kStart - 8 * kDay, 10, 8 * kDay);
    Make(1, kStart - 1 * kDay, 10, 1 * kDay);
    retention_policy policy{};
    policy.keep_days = 7;
    const char *being_written[] = {writing.c_str(), nullptr};
    retention_result result{};
    retention_apply(dir_.c_str(), &policy, g_get_real_time(), being_written, &result);
    EXPECT_EQ(result.deleted, 1u);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"cam0/2026-12-01/10-20-30.mp4", "cam1/2026-12-08/10-20-30.mp4"}));
    // The day it emptied is gone with it.
    EXPECT_FALSE(g_file_test((dir_ + "/cam0/2026-11-30").c_str(), G_FILE_TEST_EXISTS));

    policy.keep_days = 0;  // keeps all
    retention_apply(dir_.c_str(), &policy, g_get_real_time() + 100 * kDay, nullptr, &result);
    EXPECT_EQ(result.deleted, 0u);
}

// The disk as the test says: its free space is what the segments leave of a
// budget.
int FakeSpace(const char *dir, uint64_t *free_bytes, uint64_t *total_bytes, void *user) {
    GPtrArray *all = segments_list(dir, -1);
    uint64_t used = 0;
    for (guint i = 0; i < all->len; ++i) used += static_cast<segment *>(g_ptr_array_index(all, i))->bytes;
    g_ptr_array_unref(all);
    *total_bytes = *static_cast<uint64_t *>(user);
    *free_bytes = *total_bytes > used ? *total_bytes - used : 0;
    return 0;
}

TEST_F(SegmentsOnDisk, LowFreeSpaceDeletesTheOldestOfEveryCameraFirst) {
    Make(1, kStart, 300, 0);
    Make(0, kStart + 10 * G_USEC_PER_SEC, 300, 0);
    const std::string writing = Make(1, kStart + 20 * G_USEC_PER_SEC, 300, 0);
    uint64_t total = 1000;  // 100 free; 250 (25 %) wanted
    retention_policy policy{};
    policy.keep_free_percent = 25;
    policy.space = FakeSpace;
    policy.space_user = &total;
    const char *being_written[] = {writing.c_str(), nullptr};
    retention_result result{};
    retention_apply(dir_.c_str(), &policy, g_get_real_time(), being_written, &result);
    EXPECT_EQ(result.deleted, 1u);
    EXPECT_EQ(result.freed_bytes, 300u);
    EXPECT_FALSE(result.short_of_space);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"cam0/2026-12-09/10-20-40.mp4", "cam1/2026-12-09/10-20-50.mp4"}));

    // Nothing but the segment being written is left to free: recording is
    // short of space, and that segment stays.
    total = 350;
    retention_apply(dir_.c_str(), &policy, g_get_real_time(), being_written, &result);
    EXPECT_TRUE(result.short_of_space);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"cam1/2026-12-09/10-20-50.mp4"}));
}

}  // namespace
