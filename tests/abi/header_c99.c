/* Compiled as strict C99 to prove that ovixcapture.h is plain C: no C++
 * constructs, no C11 features, and records with their documented sizes.
 * C99 has no static assertion, so a false condition makes an array of
 * negative size. */

#include "ovixcapture.h"

#include <string.h>

#define OVIX_C99_CHECK(name, cond) typedef char ovix_c99_check_##name[(cond) ? 1 : -1]

/* Records without pointers have the same size on every target. */
OVIX_C99_CHECK(wchar_is_2_bytes, sizeof(OvixWChar) == 2);
OVIX_C99_CHECK(version, sizeof(OvixVersion) == 12);
OVIX_C99_CHECK(device_info, sizeof(OvixDeviceInfo) == 772);
OVIX_C99_CHECK(video_capability, sizeof(OvixVideoCapability) == 20);
OVIX_C99_CHECK(video_input_config, sizeof(OvixVideoInputConfig) == 32);
OVIX_C99_CHECK(crop_rect, sizeof(OvixCropRect) == 16);
OVIX_C99_CHECK(color_config, sizeof(OvixColorConfig) == 24);
OVIX_C99_CHECK(osd_item, sizeof(OvixOsdItem) == 1852);
OVIX_C99_CHECK(osd_item_text, offsetof(OvixOsdItem, text) == 52);
OVIX_C99_CHECK(osd_item_image_path, offsetof(OvixOsdItem, imagePath) == 1332);
OVIX_C99_CHECK(video_render_config, sizeof(OvixVideoRenderConfig) == 12);
OVIX_C99_CHECK(gpu_record_config, sizeof(OvixGpuRecordConfig) == 552);
OVIX_C99_CHECK(recorder_config, sizeof(OvixRecorderConfig) == 576);
OVIX_C99_CHECK(recorder_config_max_bytes, offsetof(OvixRecorderConfig, maxBytes) == 560);
OVIX_C99_CHECK(recorder_stats, sizeof(OvixRecorderStats) == 64);
OVIX_C99_CHECK(file_source_config, sizeof(OvixFileSourceConfig) == 540);
OVIX_C99_CHECK(file_source_info, sizeof(OvixFileSourceInfo) == 48);
OVIX_C99_CHECK(file_source_event, sizeof(OvixFileSourceEvent) == 32);

/* Records with pointers, on the 64-bit targets the library is built for. */
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
OVIX_C99_CHECK(video_frame, sizeof(OvixVideoFrame) == 80);
OVIX_C99_CHECK(video_frame_timestamp, offsetof(OvixVideoFrame, timestamp) == 64);
OVIX_C99_CHECK(audio_frame, sizeof(OvixAudioFrame) == 32);
OVIX_C99_CHECK(encoded_video_packet, sizeof(OvixEncodedVideoPacket) == 56);
OVIX_C99_CHECK(encoded_audio_packet, sizeof(OvixEncodedAudioPacket) == 40);
#endif

static void ovix_c99_on_video(const OvixVideoFrame* frame, void* user) {
    (void)frame;
    (void)user;
}

static void ovix_c99_on_event(OvixPortHandle source, const OvixFileSourceEvent* event, void* user) {
    (void)source;
    (void)event;
    (void)user;
}

int ovix_header_c99_probe(void);

/* Uses the types the way a C application does; returns the sum of a few
 * identifiers so that nothing is optimised into meaninglessness. Calls no
 * library function, so it links without the library. */
int ovix_header_c99_probe(void) {
    OvixVideoFrame frame;
    OvixOsdItem item;
    OvixRecorderConfig config;
    OvixVideoFrameCallback video_cb = ovix_c99_on_video;
    OvixFileSourceEventCallback event_cb = ovix_c99_on_event;
    OvixPortHandle port = (OvixPortHandle)0;

    memset(&frame, 0, sizeof frame);
    memset(&item, 0, sizeof item);
    memset(&config, 0, sizeof config);
    frame.format = OVIX_FORMAT_NV12;
    item.kind = OVIX_OSD_TEXT;
    item.text[0] = (OvixWChar)'A';
    config.inputMode = OVIX_RECORD_INPUT_DIRECT_H264;
    config.split = OVIX_RECORD_SPLIT_TIME;
    config.maxBytes = (uint64_t)1 << 30;

    video_cb(&frame, (void*)0);
    event_cb(port, (const OvixFileSourceEvent*)0, (void*)0);

    return frame.format + item.kind + config.inputMode + config.split + OVIX_PORT_RECORDER + OVIX_ERR_UNSUPPORTED;
}
