// Pins the binary interface of ovixcapture.h: the size, alignment and field
// layout of every exported record, the type of every field, the numeric value
// of every identifier, and the exact signature of all 93 exported functions.
//
// The expected numbers are written out by hand from the documented field
// order with natural alignment on a 64-bit target; they must never be derived
// from the header itself. A change here is a change of the ABI.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "ovixcapture.h"

namespace {

// ---------------------------------------------------------------------------
// Record layout
// ---------------------------------------------------------------------------

struct FieldLayout {
    const char* name;
    std::size_t offset;
    std::size_t expectedOffset;
    std::size_t size;
    std::size_t expectedSize;
    bool typeMatches;  // the field has exactly the documented C type
};

struct RecordLayout {
    const char* name;
    std::size_t size;
    std::size_t expectedSize;
    std::size_t align;
    std::size_t expectedAlign;
    std::vector<FieldLayout> fields;
};

// FIELD(Record, member, documented type, expected offset, expected size)
#define FIELD(T, f, type, off, sz) \
    FieldLayout { #f, offsetof(T, f), (off), sizeof(T::f), (sz), std::is_same_v<decltype(T::f), type> }

// RECORD(Record, expected size, expected alignment, fields...)
#define RECORD(T, sz, al, ...) \
    RecordLayout { #T, sizeof(T), (sz), alignof(T), (al), { __VA_ARGS__ } }

std::vector<RecordLayout> AllRecords() {
    return {
        RECORD(OvixVersion, 12, 4,
               FIELD(OvixVersion, major, int32_t, 0, 4),
               FIELD(OvixVersion, minor, int32_t, 4, 4),
               FIELD(OvixVersion, patch, int32_t, 8, 4)),

        RECORD(OvixVideoFrame, 80, 8,
               FIELD(OvixVideoFrame, data, uint8_t* [4], 0, 32),
               FIELD(OvixVideoFrame, stride, int32_t[4], 32, 16),
               FIELD(OvixVideoFrame, width, int32_t, 48, 4),
               FIELD(OvixVideoFrame, height, int32_t, 52, 4),
               FIELD(OvixVideoFrame, format, int32_t, 56, 4),
               FIELD(OvixVideoFrame, reserved, int32_t, 60, 4),
               FIELD(OvixVideoFrame, timestamp, int64_t, 64, 8),
               FIELD(OvixVideoFrame, frameIndex, int64_t, 72, 8)),

        RECORD(OvixAudioFrame, 32, 8,
               FIELD(OvixAudioFrame, data, uint8_t*, 0, 8),
               FIELD(OvixAudioFrame, size, int32_t, 8, 4),
               FIELD(OvixAudioFrame, sampleRate, int32_t, 12, 4),
               FIELD(OvixAudioFrame, channels, int32_t, 16, 4),
               FIELD(OvixAudioFrame, bitsPerSample, int32_t, 20, 4),
               FIELD(OvixAudioFrame, timestamp, int64_t, 24, 8)),

        RECORD(OvixDeviceInfo, 772, 4,
               FIELD(OvixDeviceInfo, index, int32_t, 0, 4),
               FIELD(OvixDeviceInfo, name, char[256], 4, 256),
               FIELD(OvixDeviceInfo, id, char[512], 260, 512)),

        RECORD(OvixVideoCapability, 20, 4,
               FIELD(OvixVideoCapability, width, int32_t, 0, 4),
               FIELD(OvixVideoCapability, height, int32_t, 4, 4),
               FIELD(OvixVideoCapability, fps, int32_t, 8, 4),
               FIELD(OvixVideoCapability, reserved, int32_t, 12, 4),
               FIELD(OvixVideoCapability, format, int32_t, 16, 4)),

        RECORD(OvixVideoInputConfig, 32, 4,
               FIELD(OvixVideoInputConfig, deviceIndex, int32_t, 0, 4),
               FIELD(OvixVideoInputConfig, width, int32_t, 4, 4),
               FIELD(OvixVideoInputConfig, height, int32_t, 8, 4),
               FIELD(OvixVideoInputConfig, fps, int32_t, 12, 4),
               FIELD(OvixVideoInputConfig, format, int32_t, 16, 4),
               FIELD(OvixVideoInputConfig, colorSpace, int32_t, 20, 4),
               FIELD(OvixVideoInputConfig, range, int32_t, 24, 4),
               FIELD(OvixVideoInputConfig, buffers, int32_t, 28, 4)),

        RECORD(OvixCropRect, 16, 4,
               FIELD(OvixCropRect, x, int32_t, 0, 4),
               FIELD(OvixCropRect, y, int32_t, 4, 4),
               FIELD(OvixCropRect, w, int32_t, 8, 4),
               FIELD(OvixCropRect, h, int32_t, 12, 4)),

        RECORD(OvixColorConfig, 24, 4,
               FIELD(OvixColorConfig, processor, uint32_t, 0, 4),
               FIELD(OvixColorConfig, enable, int32_t, 4, 4),
               FIELD(OvixColorConfig, outFmt, uint32_t, 8, 4),
               FIELD(OvixColorConfig, cs, int32_t, 12, 4),
               FIELD(OvixColorConfig, range, int32_t, 16, 4),
               FIELD(OvixColorConfig, strength, float, 20, 4)),

        RECORD(OvixOsdItem, 1852, 4,
               FIELD(OvixOsdItem, id, int32_t, 0, 4),
               FIELD(OvixOsdItem, visible, int32_t, 4, 4),
               FIELD(OvixOsdItem, kind, int32_t, 8, 4),
               FIELD(OvixOsdItem, layer, int32_t, 12, 4),
               FIELD(OvixOsdItem, x, int32_t, 16, 4),
               FIELD(OvixOsdItem, y, int32_t, 20, 4),
               FIELD(OvixOsdItem, width, int32_t, 24, 4),
               FIELD(OvixOsdItem, height, int32_t, 28, 4),
               FIELD(OvixOsdItem, opacity, float, 32, 4),
               FIELD(OvixOsdItem, color, uint32_t, 36, 4),
               FIELD(OvixOsdItem, backColor, uint32_t, 40, 4),
               FIELD(OvixOsdItem, transparent, int32_t, 44, 4),
               FIELD(OvixOsdItem, size, int32_t, 48, 4),
               FIELD(OvixOsdItem, text, OvixWChar[512], 52, 1024),
               FIELD(OvixOsdItem, fontName, OvixWChar[128], 1076, 256),
               FIELD(OvixOsdItem, imagePath, OvixWChar[260], 1332, 520)),

        RECORD(OvixVideoRenderConfig, 12, 4,
               FIELD(OvixVideoRenderConfig, width, int32_t, 0, 4),
               FIELD(OvixVideoRenderConfig, height, int32_t, 4, 4),
               FIELD(OvixVideoRenderConfig, format, int32_t, 8, 4)),

        RECORD(OvixGpuRecordConfig, 552, 4,
               FIELD(OvixGpuRecordConfig, path, OvixWChar[260], 0, 520),
               FIELD(OvixGpuRecordConfig, reserved, int32_t[2], 520, 8),
               FIELD(OvixGpuRecordConfig, fps, int32_t, 528, 4),
               FIELD(OvixGpuRecordConfig, bitrate, int32_t, 532, 4),
               FIELD(OvixGpuRecordConfig, audio, int32_t, 536, 4),
               FIELD(OvixGpuRecordConfig, sampleRate, int32_t, 540, 4),
               FIELD(OvixGpuRecordConfig, channels, int32_t, 544, 4),
               FIELD(OvixGpuRecordConfig, audioBitrate, int32_t, 548, 4)),

        RECORD(OvixRecorderConfig, 576, 8,
               FIELD(OvixRecorderConfig, filePath, OvixWChar[260], 0, 520),
               FIELD(OvixRecorderConfig, reserved1, int32_t, 520, 4),
               FIELD(OvixRecorderConfig, reserved2, int32_t, 524, 4),
               FIELD(OvixRecorderConfig, width, int32_t, 528, 4),
               FIELD(OvixRecorderConfig, height, int32_t, 532, 4),
               FIELD(OvixRecorderConfig, inputFps, int32_t, 536, 4),
               FIELD(OvixRecorderConfig, recordFps, int32_t, 540, 4),
               FIELD(OvixRecorderConfig, bitrate, int32_t, 544, 4),
               FIELD(OvixRecorderConfig, audio, int32_t, 548, 4),
               FIELD(OvixRecorderConfig, inputMode, int32_t, 552, 4),
               FIELD(OvixRecorderConfig, split, int32_t, 556, 4),
               FIELD(OvixRecorderConfig, maxBytes, uint64_t, 560, 8),
               FIELD(OvixRecorderConfig, seconds, int32_t, 568, 4)),

        RECORD(OvixRecorderStats, 64, 8,
               FIELD(OvixRecorderStats, inputFrames, int64_t, 0, 8),
               FIELD(OvixRecorderStats, encodedFrames, int64_t, 8, 8),
               FIELD(OvixRecorderStats, droppedFrames, int64_t, 16, 8),
               FIELD(OvixRecorderStats, duplicatedFrames, int64_t, 24, 8),
               FIELD(OvixRecorderStats, videoCallbacks, int64_t, 32, 8),
               FIELD(OvixRecorderStats, audioCallbacks, int64_t, 40, 8),
               FIELD(OvixRecorderStats, targetFps, int32_t, 48, 4),
               FIELD(OvixRecorderStats, width, int32_t, 52, 4),
               FIELD(OvixRecorderStats, height, int32_t, 56, 4)),

        RECORD(OvixEncodedVideoPacket, 56, 8,
               FIELD(OvixEncodedVideoPacket, data, uint8_t*, 0, 8),
               FIELD(OvixEncodedVideoPacket, size, int32_t, 8, 4),
               FIELD(OvixEncodedVideoPacket, origin, int32_t, 12, 4),
               FIELD(OvixEncodedVideoPacket, pts, int64_t, 16, 8),
               FIELD(OvixEncodedVideoPacket, dts, int64_t, 24, 8),
               FIELD(OvixEncodedVideoPacket, frameNumber, int64_t, 32, 8),
               FIELD(OvixEncodedVideoPacket, key, int32_t, 40, 4),
               FIELD(OvixEncodedVideoPacket, width, int32_t, 44, 4),
               FIELD(OvixEncodedVideoPacket, height, int32_t, 48, 4)),

        RECORD(OvixEncodedAudioPacket, 40, 8,
               FIELD(OvixEncodedAudioPacket, data, uint8_t*, 0, 8),
               FIELD(OvixEncodedAudioPacket, size, int32_t, 8, 4),
               FIELD(OvixEncodedAudioPacket, origin, int32_t, 12, 4),
               FIELD(OvixEncodedAudioPacket, pts, int64_t, 16, 8),
               FIELD(OvixEncodedAudioPacket, sampleRate, int32_t, 24, 4),
               FIELD(OvixEncodedAudioPacket, channels, int32_t, 28, 4),
               FIELD(OvixEncodedAudioPacket, bitsPerSample, int32_t, 32, 4)),

        RECORD(OvixFileSourceConfig, 540, 4,
               FIELD(OvixFileSourceConfig, path, OvixWChar[260], 0, 520),
               FIELD(OvixFileSourceConfig, videoFormat, int32_t, 520, 4),
               FIELD(OvixFileSourceConfig, audioSampleRate, int32_t, 524, 4),
               FIELD(OvixFileSourceConfig, audioChannels, int32_t, 528, 4),
               FIELD(OvixFileSourceConfig, maxVideoQueue, int32_t, 532, 4),
               FIELD(OvixFileSourceConfig, maxAudioQueue, int32_t, 536, 4)),

        RECORD(OvixFileSourceInfo, 48, 8,
               FIELD(OvixFileSourceInfo, duration, int64_t, 0, 8),
               FIELD(OvixFileSourceInfo, hasVideo, int32_t, 8, 4),
               FIELD(OvixFileSourceInfo, hasAudio, int32_t, 12, 4),
               FIELD(OvixFileSourceInfo, width, int32_t, 16, 4),
               FIELD(OvixFileSourceInfo, height, int32_t, 20, 4),
               FIELD(OvixFileSourceInfo, frameRateNumerator, int32_t, 24, 4),
               FIELD(OvixFileSourceInfo, frameRateDenominator, int32_t, 28, 4),
               FIELD(OvixFileSourceInfo, videoFormat, int32_t, 32, 4),
               FIELD(OvixFileSourceInfo, sampleRate, int32_t, 36, 4),
               FIELD(OvixFileSourceInfo, channels, int32_t, 40, 4),
               FIELD(OvixFileSourceInfo, bitsPerSample, int32_t, 44, 4)),

        RECORD(OvixFileSourceEvent, 32, 8,
               FIELD(OvixFileSourceEvent, type, int32_t, 0, 4),
               FIELD(OvixFileSourceEvent, value, int32_t, 4, 4),
               FIELD(OvixFileSourceEvent, position, int64_t, 8, 8),
               FIELD(OvixFileSourceEvent, duration, int64_t, 16, 8),
               FIELD(OvixFileSourceEvent, detail, int64_t, 24, 8)),
    };
}

#undef FIELD
#undef RECORD

// Failure messages name the record instead of dumping its bytes.
void PrintTo(const RecordLayout& r, std::ostream* os) { *os << r.name; }

class RecordLayoutTest : public ::testing::TestWithParam<RecordLayout> {};

TEST_P(RecordLayoutTest, MatchesDocumentedLayout) {
    const RecordLayout& r = GetParam();
    EXPECT_EQ(r.size, r.expectedSize) << "sizeof(" << r.name << ")";
    EXPECT_EQ(r.align, r.expectedAlign) << "alignof(" << r.name << ")";
    ASSERT_FALSE(r.fields.empty());
    for (const FieldLayout& f : r.fields) {
        EXPECT_EQ(f.offset, f.expectedOffset) << "offsetof(" << r.name << ", " << f.name << ")";
        EXPECT_EQ(f.size, f.expectedSize) << "sizeof(" << r.name << "::" << f.name << ")";
        EXPECT_TRUE(f.typeMatches) << r.name << "::" << f.name << " has another type";
    }
    // The last field plus tail padding to the record's alignment is the whole record.
    const FieldLayout& last = r.fields.back();
    const std::size_t end = last.expectedOffset + last.expectedSize;
    const std::size_t padded = (end + r.expectedAlign - 1) / r.expectedAlign * r.expectedAlign;
    EXPECT_EQ(padded, r.expectedSize) << r.name << ": table does not cover the record";
}

INSTANTIATE_TEST_SUITE_P(AllRecords, RecordLayoutTest, ::testing::ValuesIn(AllRecords()),
                         [](const ::testing::TestParamInfo<RecordLayout>& info) {
                             return std::string(info.param.name);
                         });

TEST(AbiTypes, TargetHas64BitPointers) {
    // Every documented record size assumes 64-bit pointers.
    EXPECT_EQ(sizeof(void*), 8u);
}

TEST(AbiTypes, ScalarTypedefs) {
    EXPECT_EQ(sizeof(OvixWChar), 2u);
    EXPECT_FALSE(std::is_signed_v<OvixWChar>);
    EXPECT_TRUE(std::is_pointer_v<OvixPortHandle>);
    EXPECT_EQ(sizeof(OvixPortHandle), 8u);
    EXPECT_TRUE((std::is_same_v<OvixPixelFormat, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixColorSpace, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixColorRange, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixPortType, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixPipelineMode, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixInterpolationMode, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixSnapshotFormat, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixRecordInputMode, int32_t>));
    EXPECT_TRUE((std::is_same_v<OvixRecordSplitMode, int32_t>));
}

TEST(AbiTypes, CallbackSignatures) {
    EXPECT_TRUE((std::is_same_v<OvixVideoFrameCallback, void (*)(const OvixVideoFrame*, void*)>));
    EXPECT_TRUE((std::is_same_v<OvixAudioFrameCallback, void (*)(const OvixAudioFrame*, void*)>));
    EXPECT_TRUE((std::is_same_v<OvixEncodedVideoCallback, void (*)(const OvixEncodedVideoPacket*, void*)>));
    EXPECT_TRUE((std::is_same_v<OvixEncodedAudioCallback, void (*)(const OvixEncodedAudioPacket*, void*)>));
    EXPECT_TRUE((std::is_same_v<OvixFileSourceEventCallback,
                                void (*)(OvixPortHandle, const OvixFileSourceEvent*, void*)>));
}

// ---------------------------------------------------------------------------
// Identifier values
// ---------------------------------------------------------------------------

struct ConstantCase {
    const char* name;
    long long actual;
    long long expected;
};

#define CONSTANT(c, v) ConstantCase{#c, static_cast<long long>(c), (v)}

const ConstantCase kConstants[] = {
    // Result codes
    CONSTANT(OVIX_OK, 0),
    CONSTANT(OVIX_ERR_FAILED, -1),
    CONSTANT(OVIX_ERR_INVALID_ARG, -2),
    CONSTANT(OVIX_ERR_NOT_INITIALIZED, -3),
    CONSTANT(OVIX_ERR_UNSUPPORTED, -4),
    // Pixel formats
    CONSTANT(OVIX_FORMAT_UNKNOWN, 0),
    CONSTANT(OVIX_FORMAT_YUY2, 1),
    CONSTANT(OVIX_FORMAT_NV12, 2),
    CONSTANT(OVIX_FORMAT_RGB24, 3),
    CONSTANT(OVIX_FORMAT_RGB32, 4),
    CONSTANT(OVIX_FORMAT_MJPG, 5),
    CONSTANT(OVIX_FORMAT_H264, 6),
    // Colour spaces and ranges
    CONSTANT(OVIX_COLORSPACE_AUTO, 0),
    CONSTANT(OVIX_COLORSPACE_BT601, 1),
    CONSTANT(OVIX_COLORSPACE_BT709, 2),
    CONSTANT(OVIX_COLORSPACE_BT2020, 3),
    CONSTANT(OVIX_RANGE_AUTO, 0),
    CONSTANT(OVIX_RANGE_FULL, 1),
    CONSTANT(OVIX_RANGE_LIMITED, 2),
    // Port types
    CONSTANT(OVIX_PORT_VIDEO_INPUT, 1),
    CONSTANT(OVIX_PORT_AUDIO_INPUT, 2),
    CONSTANT(OVIX_PORT_VIDEO_FRAME_SOURCE, 3),
    CONSTANT(OVIX_PORT_FILE_SOURCE, 4),
    CONSTANT(OVIX_PORT_FILE_VIDEO_OUTPUT, 5),
    CONSTANT(OVIX_PORT_FILE_AUDIO_OUTPUT, 6),
    CONSTANT(OVIX_PORT_VIDEO_RENDER, 10),
    CONSTANT(OVIX_PORT_AUDIO_RENDER, 11),
    CONSTANT(OVIX_PORT_VIDEO_MUX, 20),
    CONSTANT(OVIX_PORT_AUDIO_MUX, 21),
    CONSTANT(OVIX_PORT_VIDEO_OSD, 22),
    CONSTANT(OVIX_PORT_VIDEO_CROP, 23),
    CONSTANT(OVIX_PORT_VIDEO_COLOR_ENGINE, 24),
    CONSTANT(OVIX_PORT_RECORDER, 30),
    // Render modes and snapshot formats
    CONSTANT(OVIX_PIPELINE_DIRECT, 0),
    CONSTANT(OVIX_PIPELINE_FINAL_FRAME, 1),
    CONSTANT(OVIX_INTERP_LINEAR, 0),
    CONSTANT(OVIX_INTERP_NEAREST, 1),
    CONSTANT(OVIX_INTERP_AUTO, 2),
    CONSTANT(OVIX_SNAPSHOT_BMP, 1),
    CONSTANT(OVIX_SNAPSHOT_JPEG, 2),
    // Overlay item kinds
    CONSTANT(OVIX_OSD_TEXT, 1),
    CONSTANT(OVIX_OSD_IMAGE, 2),
    CONSTANT(OVIX_OSD_RECT, 3),
    // Recorder modes
    CONSTANT(OVIX_RECORD_INPUT_AUTO, 0),
    CONSTANT(OVIX_RECORD_INPUT_ENCODE, 1),
    CONSTANT(OVIX_RECORD_INPUT_DIRECT_H264, 2),
    CONSTANT(OVIX_RECORD_SPLIT_NONE, 0),
    CONSTANT(OVIX_RECORD_SPLIT_SIZE, 1),
    CONSTANT(OVIX_RECORD_SPLIT_TIME, 2),
    // File source events
    CONSTANT(OVIX_FILE_EVENT_STARTED, 1),
    CONSTANT(OVIX_FILE_EVENT_POSITION, 2),
    CONSTANT(OVIX_FILE_EVENT_END, 3),
    CONSTANT(OVIX_FILE_EVENT_ERROR, 4),
    // Version and text field sizes
    CONSTANT(OVIX_VERSION_MAJOR, 6),
    CONSTANT(OVIX_VERSION_MINOR, 2),
    CONSTANT(OVIX_VERSION_PATCH, 3),
    CONSTANT(OVIX_API_VERSION, 60203),
    CONSTANT(OVIX_DEVICE_NAME_SIZE, 256),
    CONSTANT(OVIX_DEVICE_ID_SIZE, 512),
    CONSTANT(OVIX_PATH_SIZE, 260),
    CONSTANT(OVIX_OSD_TEXT_SIZE, 512),
    CONSTANT(OVIX_OSD_FONT_NAME_SIZE, 128),
};

#undef CONSTANT

TEST(AbiConstants, ValuesMatchDocumentation) {
    for (const ConstantCase& c : kConstants) {
        EXPECT_EQ(c.actual, c.expected) << c.name;
    }
}

TEST(AbiConstants, VersionMacrosAreConsistent) {
    EXPECT_EQ(OVIX_VERSION_MAJOR * 10000 + OVIX_VERSION_MINOR * 100 + OVIX_VERSION_PATCH, OVIX_API_VERSION);
}

// ---------------------------------------------------------------------------
// Function signatures (checked in unevaluated context: nothing is linked)
// ---------------------------------------------------------------------------

struct SignatureCase {
    const char* name;
    bool matches;
};

#define SIG(fn, ...) SignatureCase{#fn, std::is_same_v<decltype(&fn), __VA_ARGS__>}

using H = OvixPortHandle;
using W = const OvixWChar*;

const SignatureCase kSignatures[] = {
    SIG(OVIX_Init, int (*)(void)),
    SIG(OVIX_Shutdown, int (*)(void)),
    SIG(OVIX_GetVersion, const char* (*)(void)),
    SIG(OVIX_GetVersionEx, void (*)(OvixVersion*)),
    SIG(OVIX_GetApiVersion, int (*)(void)),
    SIG(OVIX_EnableLog, int (*)(int)),
    SIG(OVIX_SetDefaultPipelineMode, int (*)(int)),
    SIG(OVIX_GetDefaultPipelineMode, int (*)(void)),
    SIG(OVIX_RefreshDeviceList, int (*)(void)),
    SIG(OVIX_GetVideoDeviceCount, int (*)(void)),
    SIG(OVIX_GetVideoDeviceInfo, int (*)(int, OvixDeviceInfo*)),
    SIG(OVIX_GetAudioInputDeviceCount, int (*)(void)),
    SIG(OVIX_GetAudioInputDeviceInfo, int (*)(int, OvixDeviceInfo*)),
    SIG(OVIX_GetAudioRenderDeviceCount, int (*)(void)),
    SIG(OVIX_GetAudioRenderDeviceInfo, int (*)(int, OvixDeviceInfo*)),
    SIG(OVIX_GetVideoCapabilityCount, int (*)(int)),
    SIG(OVIX_GetVideoCapability, int (*)(int, int, OvixVideoCapability*)),
    SIG(OVIX_GetVideoFormatCount, int (*)(int)),
    SIG(OVIX_GetVideoFormatInfo, int (*)(int, int, OvixVideoCapability*)),
    SIG(OVIX_ShowVideoDevicePropertyPage, int (*)(void*, int)),
    SIG(OVIX_ShowVideoCrossbarPropertyPage, int (*)(void*, int)),
    SIG(OVIX_Connect, int (*)(H, H)),
    SIG(OVIX_Disconnect, int (*)(H, H)),
    SIG(OVIX_DestroyPort, int (*)(H)),
    SIG(OVIX_Start, int (*)(H)),
    SIG(OVIX_Stop, int (*)(H)),
    SIG(OVIX_SetVideoFrameCallback, int (*)(H, OvixVideoFrameCallback, void*)),
    SIG(OVIX_SetAudioFrameCallback, int (*)(H, OvixAudioFrameCallback, void*)),
    SIG(OVIX_CreateVideoInput, H (*)(void)),
    SIG(OVIX_SetVideoInputDevice, int (*)(H, int)),
    SIG(OVIX_SetVideoInputFormat, int (*)(H, int, int, int, int)),
    SIG(OVIX_SetVideoInputConfig, int (*)(H, const OvixVideoInputConfig*)),
    SIG(OVIX_CreateAudioInput, H (*)(void)),
    SIG(OVIX_SetAudioInputDevice, int (*)(H, int)),
    SIG(OVIX_SetAudioInputPCM, int (*)(H, int, int, int)),
    SIG(OVIX_CreateAudioRender, H (*)(void)),
    SIG(OVIX_SetAudioRenderDefaultDevice, int (*)(H)),
    SIG(OVIX_SetAudioRenderDevice, int (*)(H, int)),
    SIG(OVIX_SetAudioRenderVolume, int (*)(H, float)),
    SIG(OVIX_SetAudioRenderMute, int (*)(H, int)),
    SIG(OVIX_CreateAudioMux, H (*)(void)),
    SIG(OVIX_CreateVideoFrameSource, H (*)(void)),
    SIG(OVIX_PushVideoFrame, int (*)(H, const OvixVideoFrame*)),
    SIG(OVIX_CreateVideoCrop, H (*)(void)),
    SIG(OVIX_SetVideoCropRect, int (*)(H, const OvixCropRect*)),
    SIG(OVIX_EnableVideoCrop, int (*)(H, int)),
    SIG(OVIX_CreateVideoColorEngine, H (*)(void)),
    SIG(OVIX_SetVideoColorEngineConfig, int (*)(H, const OvixColorConfig*)),
    SIG(OVIX_GetVideoColorEngineConfig, int (*)(H, OvixColorConfig*)),
    SIG(OVIX_LoadVideoColorEngineCubeFile, int (*)(H, W)),
    SIG(OVIX_ClearVideoColorEngineLut, int (*)(H)),
    SIG(OVIX_CreateVideoOsd, H (*)(void)),
    SIG(OVIX_SetVideoOsdText, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_SetVideoOsdImage, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_AddVideoOsdText, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_AddVideoOsdImage, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_AddVideoOsdRect, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_UpdateVideoOsdText, int (*)(H, int, W)),
    SIG(OVIX_RemoveVideoOsdItem, int (*)(H, int)),
    SIG(OVIX_ClearVideoOsd, int (*)(H)),
    SIG(OVIX_ConnectVideoOsdOutput, int (*)(H, int, H)),
    SIG(OVIX_CreateVideoMux, H (*)(void)),
    SIG(OVIX_CreateVideoRender, H (*)(void*)),
    SIG(OVIX_SetVideoRenderConfig, int (*)(H, const OvixVideoRenderConfig*)),
    SIG(OVIX_SetVideoRenderInterpolationMode, int (*)(H, int)),
    SIG(OVIX_SetVideoRenderPipelineMode, int (*)(H, int)),
    SIG(OVIX_GetVideoRenderPipelineMode, int (*)(H)),
    SIG(OVIX_SetVideoRenderLutConfig, int (*)(H, const OvixColorConfig*)),
    SIG(OVIX_LoadVideoRenderCubeFile, int (*)(H, W)),
    SIG(OVIX_ClearVideoRenderLut, int (*)(H)),
    SIG(OVIX_SaveVideoRenderSnapshot, int (*)(H, W, int)),
    SIG(OVIX_AddVideoRenderGpuOsdText, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_AddVideoRenderGpuOsdImage, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_AddVideoRenderGpuOsdRect, int (*)(H, const OvixOsdItem*)),
    SIG(OVIX_UpdateVideoRenderGpuOsdText, int (*)(H, int, W)),
    SIG(OVIX_RemoveVideoRenderGpuOsdItem, int (*)(H, int)),
    SIG(OVIX_ClearVideoRenderGpuOsd, int (*)(H)),
    SIG(OVIX_StartVideoRenderGpuRecord, int (*)(H, const OvixGpuRecordConfig*)),
    SIG(OVIX_StopVideoRenderGpuRecord, int (*)(H)),
    SIG(OVIX_IsVideoRenderGpuRecording, int (*)(H)),
    SIG(OVIX_CreateRecorder, H (*)(const char*)),
    SIG(OVIX_SetRecorderConfig, int (*)(H, const OvixRecorderConfig*)),
    SIG(OVIX_GetRecorderStats, int (*)(H, OvixRecorderStats*)),
    SIG(OVIX_SetRecorderVideoCallback, int (*)(H, OvixEncodedVideoCallback, void*)),
    SIG(OVIX_SetRecorderAudioCallback, int (*)(H, OvixEncodedAudioCallback, void*)),
    SIG(OVIX_CreateFileSource, H (*)(const OvixFileSourceConfig*)),
    SIG(OVIX_FileSourceGetVideoOutput, H (*)(H)),
    SIG(OVIX_FileSourceGetAudioOutput, H (*)(H)),
    SIG(OVIX_FileSourceGetInfo, int (*)(H, OvixFileSourceInfo*)),
    SIG(OVIX_FileSourceSetEventCallback, int (*)(H, OvixFileSourceEventCallback, void*)),
    SIG(OVIX_FileSourcePause, int (*)(H, int)),
    SIG(OVIX_FileSourceSeek, int (*)(H, int64_t)),
    SIG(OVIX_FileSourceGetPosition, int (*)(H, int64_t*)),
};

#undef SIG

TEST(AbiFunctions, EveryExportHasItsDocumentedSignature) {
    EXPECT_EQ(std::size(kSignatures), 93u);
    for (const SignatureCase& s : kSignatures) {
        EXPECT_TRUE(s.matches) << s.name << " has another signature";
    }
}

}  // namespace
