// The board's cameras as applications find them: through GstDeviceMonitor.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

class DeviceProvider : public ::testing::Test {
protected:
    void SetUp() override { gsttest::setUp(); }
};

// The board's devices a Video/Source monitor lists, in order of camera.
std::vector<GstDevice *> boardCameras() {
    GstDeviceMonitor *monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    EXPECT_TRUE(gst_device_monitor_start(monitor));
    GList *devices = gst_device_monitor_get_devices(monitor);
    gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);
    std::vector<GstDevice *> board(2, nullptr);
    for (GList *l = devices; l != nullptr; l = l->next) {
        GstDevice *device = GST_DEVICE(l->data);
        GstStructure *properties = gst_device_get_properties(device);
        int camera = -1;
        if (properties != nullptr &&
            g_strcmp0(gst_structure_get_string(properties, "device.api"), "boardcam") == 0 &&
            gst_structure_get_int(properties, "boardcam.camera", &camera) && camera >= 0 && camera < 2) {
            board[size_t(camera)] = GST_DEVICE(gst_object_ref(device));
        }
        if (properties != nullptr) gst_structure_free(properties);
    }
    g_list_free_full(devices, gst_object_unref);
    return board;
}

TEST_F(DeviceProvider, ListsBothCamerasWithTheirClassCapsAndProperties) {
    const std::vector<GstDevice *> cameras = boardCameras();
    GstElementFactory *factory = gst_element_factory_find("boardcamsrc");
    ASSERT_NE(factory, nullptr);
    GstCaps *templateCaps = nullptr;
    for (const GList *t = gst_element_factory_get_static_pad_templates(factory); t != nullptr; t = t->next) {
        templateCaps = gst_static_pad_template_get_caps(static_cast<GstStaticPadTemplate *>(t->data));
    }
    ASSERT_NE(templateCaps, nullptr);
    for (int camera = 0; camera < 2; ++camera) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        GstDevice *device = cameras[size_t(camera)];
        ASSERT_NE(device, nullptr) << "not listed";
        gchar *name = gst_device_get_display_name(device);
        EXPECT_EQ(std::string(name), "Board camera " + std::to_string(camera));
        g_free(name);
        gchar *klass = gst_device_get_device_class(device);
        EXPECT_STREQ(klass, "Video/Source");
        g_free(klass);
        EXPECT_TRUE(gst_device_has_classes(device, "Video/Source"));
        GstCaps *caps = gst_device_get_caps(device);
        EXPECT_TRUE(gst_caps_is_equal(caps, templateCaps));
        gst_caps_unref(caps);
        gst_object_unref(device);
    }
    gst_caps_unref(templateCaps);
    gst_object_unref(factory);
    // Secondary, like other board providers: found, not preferred over real hardware.
    GstDeviceProviderFactory *provider = gst_device_provider_factory_find("boardcamdeviceprovider");
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(provider)), guint(GST_RANK_SECONDARY));
    gst_object_unref(provider);
}

TEST_F(DeviceProvider, TheElementOfEachDeviceStreamsItsCamera) {
    boardsim_set_pacing(true);
    const std::vector<GstDevice *> cameras = boardCameras();
    for (int camera = 0; camera < 2; ++camera) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        ASSERT_NE(cameras[size_t(camera)], nullptr);
        GstElement *source = gst_device_create_element(cameras[size_t(camera)], "source");
        ASSERT_NE(source, nullptr);
        int property = -1;
        g_object_get(source, "camera", &property, nullptr);
        EXPECT_EQ(property, camera);
        GstElement *pipeline = gst_pipeline_new(nullptr);
        GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
        GstElement *sink = gst_element_factory_make("fakesink", "sink");
        GstCaps *caps = gst_caps_from_string("video/x-raw,width=64,height=48,framerate=30/1");
        g_object_set(filter, "caps", caps, nullptr);
        gst_caps_unref(caps);
        g_object_set(source, "num-buffers", 5, nullptr);
        g_object_set(sink, "signal-handoffs", TRUE, "sync", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline), source, filter, sink, nullptr);
        ASSERT_TRUE(gst_element_link_many(source, filter, sink, nullptr));
        gsttest::FrameTally check;
        check.camera = camera;
        check.width = 64;
        check.height = 48;
        gsttest::checkFrames(pipeline, "sink", &check);
        GstMessage *done = gsttest::runUntilDone(pipeline);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
        gst_message_unref(done);
        gsttest::dispose(pipeline);
        EXPECT_EQ(check.frames, 5);
        EXPECT_EQ(check.wrong, 0);
        gst_object_unref(cameras[size_t(camera)]);
    }
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

// Everything but the streaming reads: what a probe would have to call.
size_t controlCalls() {
    size_t n = 0;
    for (const BoardsimEvent &e : testsupport::journal()) {
        if (e.call != BOARDSIM_READ_FRAME_FROM_CAMERA && e.call != BOARDSIM_PIMO_MALLOC &&
            e.call != BOARDSIM_PIMO_FREE && e.call != BOARDSIM_APP_LOG) {
            ++n;
        }
    }
    return n;
}

TEST_F(DeviceProvider, ProbingWhileACameraStreamsCallsNothingInTheLibrary) {
    boardsim_set_pacing(true);
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
        "fakesink name=sink sync=false signal-handoffs=true");
    std::atomic<int> frames{0};
    gsttest::countBuffers(pipeline, "sink", &frames);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (frames < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const size_t before = controlCalls();
    for (int probe = 0; probe < 3; ++probe) {
        for (GstDevice *device : boardCameras()) {
            EXPECT_NE(device, nullptr);
            if (device != nullptr) gst_object_unref(device);
        }
    }
    EXPECT_EQ(controlCalls(), before) << "probing reached the camera library";
    const int seen = frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(frames, seen) << "the stream goes on";
    gsttest::dispose(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
