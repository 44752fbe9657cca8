/*
 * ovixcapture.h - public C interface of the ovixcapture capture SDK.
 *
 * The library is used only through the 93 OVIX_* functions below. Every
 * source, processor and sink is a "port" handed out as an OvixPortHandle;
 * the application owns each port it creates and gives it back with
 * OVIX_DestroyPort (the two outputs of a file source are the exception).
 *
 * Conventions shared by all functions:
 *   - Results are OVIX_OK (0) or a negative OVIX_ERR_* code. A null handle or
 *     a handle of the wrong port class counts as an invalid argument: -2 for
 *     functions returning a code, null for pointers, 0 for counts and flags.
 *   - Records passed to setters are copied; the caller keeps ownership.
 *   - Frames and the memory they point to belong to the deliverer and are
 *     valid only during the call that carries them; copy what you keep.
 *   - Times are in 100-nanosecond units everywhere.
 *   - Device names and ids are UTF-8; file paths and overlay texts are UTF-16
 *     (OvixWChar); the recorder's narrow path is UTF-8.
 *
 * Every record has a fixed layout (natural alignment, 64-bit pointers) that is
 * part of the binary interface. The header compiles as C99 and as C++.
 */
#ifndef OVIXCAPTURE_H
#define OVIXCAPTURE_H

#include <stddef.h>
#include <stdint.h>

/* ------------------------------------------------------------------------ */
/* Export macro                                                              */
/* ------------------------------------------------------------------------ */

#if defined(_WIN32)
#  if defined(OVIX_BUILDING_LIBRARY)
#    define OVIX_API __declspec(dllexport)
#  else
#    define OVIX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define OVIX_API __attribute__((visibility("default")))
#else
#  define OVIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Basic types                                                               */
/* ------------------------------------------------------------------------ */

/* One UTF-16 code unit. Two bytes on every platform, so records that embed
 * wide text keep the same size everywhere. */
#if defined(_WIN32)
typedef wchar_t OvixWChar;
#elif defined(__cplusplus)
typedef char16_t OvixWChar;
#else
typedef uint16_t OvixWChar;
#endif

/* Opaque handle of any port. All port classes share this one type; functions
 * that serve one class check the class at run time. */
typedef struct OvixPort_* OvixPortHandle;

/* ------------------------------------------------------------------------ */
/* Version                                                                   */
/* ------------------------------------------------------------------------ */

#define OVIX_VERSION_MAJOR 6
#define OVIX_VERSION_MINOR 2
#define OVIX_VERSION_PATCH 3
/* major * 10000 + minor * 100 + patch, as OVIX_GetApiVersion returns it. */
#define OVIX_API_VERSION 60203

/* Version numbers, filled by OVIX_GetVersionEx. 12 bytes. */
typedef struct OvixVersion {
    int32_t major;
    int32_t minor;
    int32_t patch;
} OvixVersion;

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */

enum OvixResultCode {
    /* Success. */
    OVIX_OK = 0,
    /* A platform call or resource failed, or the object's state forbids the call. */
    OVIX_ERR_FAILED = -1,
    /* Null pointer or handle, wrong port class, index or value out of range. */
    OVIX_ERR_INVALID_ARG = -2,
    /* OVIX_Init has not run (or OVIX_Shutdown undid it). */
    OVIX_ERR_NOT_INITIALIZED = -3,
    /* Well formed but not supported (forbidden connection, unknown format...). */
    OVIX_ERR_UNSUPPORTED = -4
};

/* ------------------------------------------------------------------------ */
/* Identifiers                                                               */
/* ------------------------------------------------------------------------ */

/* Pixel format of a video frame (signed 32-bit). */
typedef int32_t OvixPixelFormat;
enum OvixPixelFormatValue {
    OVIX_FORMAT_UNKNOWN = 0, /* never produced; marks an unusable format */
    OVIX_FORMAT_YUY2 = 1,    /* packed Y0 U Y1 V, 2 bytes per pixel */
    OVIX_FORMAT_NV12 = 2,    /* Y plane, then interleaved U,V plane at half resolution */
    OVIX_FORMAT_RGB24 = 3,   /* 3 bytes per pixel, B G R */
    OVIX_FORMAT_RGB32 = 4,   /* 4 bytes per pixel, B G R A */
    OVIX_FORMAT_MJPG = 5,    /* one JPEG picture; stride[0] is its byte length */
    OVIX_FORMAT_H264 = 6     /* H.264 data of one sample; stride[0] is its byte length */
};

/* YUV matrix (signed 32-bit). Values outside 1..3 are treated as AUTO. */
typedef int32_t OvixColorSpace;
enum OvixColorSpaceValue {
    OVIX_COLORSPACE_AUTO = 0,   /* BT.709 above 1279 wide or 576 high, else BT.601 */
    OVIX_COLORSPACE_BT601 = 1,
    OVIX_COLORSPACE_BT709 = 2,
    OVIX_COLORSPACE_BT2020 = 3  /* non-constant luminance */
};

/* YUV value range (signed 32-bit). Values outside 1..2 are treated as limited. */
typedef int32_t OvixColorRange;
enum OvixColorRangeValue {
    OVIX_RANGE_AUTO = 0,    /* treated as limited */
    OVIX_RANGE_FULL = 1,    /* Y and chroma 0..255 */
    OVIX_RANGE_LIMITED = 2  /* Y 16..235, chroma 16..240 */
};

/* Class of a port (signed 32-bit), fixed at creation. */
typedef int32_t OvixPortType;
enum OvixPortTypeValue {
    OVIX_PORT_VIDEO_INPUT = 1,
    OVIX_PORT_AUDIO_INPUT = 2,
    OVIX_PORT_VIDEO_FRAME_SOURCE = 3,
    OVIX_PORT_FILE_SOURCE = 4,
    OVIX_PORT_FILE_VIDEO_OUTPUT = 5,
    OVIX_PORT_FILE_AUDIO_OUTPUT = 6,
    OVIX_PORT_VIDEO_RENDER = 10,
    OVIX_PORT_AUDIO_RENDER = 11,
    OVIX_PORT_VIDEO_MUX = 20,
    OVIX_PORT_AUDIO_MUX = 21,
    OVIX_PORT_VIDEO_OSD = 22,
    OVIX_PORT_VIDEO_CROP = 23,
    OVIX_PORT_VIDEO_COLOR_ENGINE = 24,
    OVIX_PORT_RECORDER = 30
};

/* Pipeline mode of a video render (signed 32-bit). */
typedef int32_t OvixPipelineMode;
enum OvixPipelineModeValue {
    /* Draw the frame straight into the window. */
    OVIX_PIPELINE_DIRECT = 0,
    /* Also draw the GPU overlay, keep a window-independent final frame for
     * the LUT, snapshots and the GPU recorder. */
    OVIX_PIPELINE_FINAL_FRAME = 1
};

/* Scaling filter of a video render (OVIX_SetVideoRenderInterpolationMode). */
typedef int32_t OvixInterpolationMode;
enum OvixInterpolationModeValue {
    OVIX_INTERP_LINEAR = 0,
    OVIX_INTERP_NEAREST = 1,
    /* Nearest when the picture is shown at 0.7 of its size or more, else linear. */
    OVIX_INTERP_AUTO = 2
};

/* File type of OVIX_SaveVideoRenderSnapshot; the path's extension plays no part. */
typedef int32_t OvixSnapshotFormat;
enum OvixSnapshotFormatValue {
    OVIX_SNAPSHOT_BMP = 1,  /* 24-bit BMP */
    OVIX_SNAPSHOT_JPEG = 2
};

/* Kind of an overlay item; set by the function that receives the item. */
enum OvixOsdKind {
    OVIX_OSD_TEXT = 1,
    OVIX_OSD_IMAGE = 2,
    OVIX_OSD_RECT = 3
};

/* Which frames the recorder records and how (signed 32-bit). */
typedef int32_t OvixRecordInputMode;
enum OvixRecordInputModeValue {
    /* H.264 frames are written unchanged, other frames are encoded. */
    OVIX_RECORD_INPUT_AUTO = 0,
    /* Only uncompressed frames, encoded to H.264; H.264 frames are rejected. */
    OVIX_RECORD_INPUT_ENCODE = 1,
    /* Only H.264 frames, written unchanged; other frames are rejected. */
    OVIX_RECORD_INPUT_DIRECT_H264 = 2
};

/* How the recorder cuts a recording into segment files (signed 32-bit). */
typedef int32_t OvixRecordSplitMode;
enum OvixRecordSplitModeValue {
    OVIX_RECORD_SPLIT_NONE = 0,  /* one file */
    OVIX_RECORD_SPLIT_SIZE = 1,  /* new file when maxBytes is reached */
    OVIX_RECORD_SPLIT_TIME = 2   /* new file every `seconds` */
};

/* Type of an OvixFileSourceEvent. */
enum OvixFileSourceEventType {
    OVIX_FILE_EVENT_STARTED = 1,
    OVIX_FILE_EVENT_POSITION = 2,
    OVIX_FILE_EVENT_END = 3,
    OVIX_FILE_EVENT_ERROR = 4
};

/* Fixed text field sizes, in elements (bytes for char, code units for OvixWChar). */
#define OVIX_DEVICE_NAME_SIZE 256
#define OVIX_DEVICE_ID_SIZE 512
#define OVIX_PATH_SIZE 260
#define OVIX_OSD_TEXT_SIZE 512
#define OVIX_OSD_FONT_NAME_SIZE 128

/* ------------------------------------------------------------------------ */
/* Frames                                                                    */
/* ------------------------------------------------------------------------ */

/* One video picture, rows top-down. Unused planes are null with stride 0;
 * for MJPG and H264 stride[0] is the byte length of data[0]. An NV12 frame
 * with data[1] null has its chroma plane right after the luma plane.
 * Owned by the deliverer, valid only during the call. 80 bytes. */
typedef struct OvixVideoFrame {
    uint8_t* data[4];    /* start of each plane */
    int32_t stride[4];   /* bytes from one row of a plane to the next */
    int32_t width;       /* pixels */
    int32_t height;      /* pixels */
    int32_t format;      /* an OvixPixelFormat value */
    int32_t reserved;    /* producers write 0, consumers ignore it */
    int64_t timestamp;   /* presentation time, 100 ns */
    int64_t frameIndex;  /* running number within its source */
} OvixVideoFrame;

/* One block of interleaved little-endian signed PCM. Owned by the deliverer,
 * valid only during the call. 32 bytes. */
typedef struct OvixAudioFrame {
    uint8_t* data;          /* samples, interleaved by channel */
    int32_t size;           /* byte length of data */
    int32_t sampleRate;     /* samples per second per channel */
    int32_t channels;       /* interleaved channels */
    int32_t bitsPerSample;  /* 16 from every built-in source */
    int64_t timestamp;      /* time of the first sample, 100 ns */
} OvixAudioFrame;

/* Application callback for delivered video frames. Runs on the delivering
 * thread; the frame is valid only during the call. */
typedef void (*OvixVideoFrameCallback)(const OvixVideoFrame* frame, void* user);

/* Application callback for delivered audio blocks. Runs on the delivering
 * thread; the frame is valid only during the call. */
typedef void (*OvixAudioFrameCallback)(const OvixAudioFrame* frame, void* user);

/* ------------------------------------------------------------------------ */
/* Devices                                                                   */
/* ------------------------------------------------------------------------ */

/* One video capture device or audio endpoint. 772 bytes. */
typedef struct OvixDeviceInfo {
    int32_t index;                    /* position in its device list */
    char name[OVIX_DEVICE_NAME_SIZE]; /* friendly name, UTF-8, NUL-terminated */
    char id[OVIX_DEVICE_ID_SIZE];     /* identity string, UTF-8, NUL-terminated */
} OvixDeviceInfo;

/* One capture format a video device offers. 20 bytes. */
typedef struct OvixVideoCapability {
    int32_t width;    /* always positive */
    int32_t height;   /* always positive */
    int32_t fps;      /* whole frames per second; 0 when the device states none */
    int32_t reserved; /* always 1 */
    int32_t format;   /* an OvixPixelFormat value, 1..6 */
} OvixVideoCapability;

/* ------------------------------------------------------------------------ */
/* Configuration records                                                     */
/* ------------------------------------------------------------------------ */

/* Everything a video input is set up with (OVIX_SetVideoInputConfig). 32 bytes. */
typedef struct OvixVideoInputConfig {
    int32_t deviceIndex; /* index into the video device list, >= 0 */
    int32_t width;       /* requested width, > 0 */
    int32_t height;      /* requested height, > 0 */
    int32_t fps;         /* requested frame rate, > 0 */
    int32_t format;      /* requested OvixPixelFormat, not 0 */
    int32_t colorSpace;  /* OvixColorSpace, recorded only */
    int32_t range;       /* OvixColorRange, recorded only */
    int32_t buffers;     /* 0 or below means 4 */
} OvixVideoInputConfig;

/* Crop rectangle in pixels of the incoming frame. A width or height below 1
 * reaches the right (bottom) edge. 16 bytes. */
typedef struct OvixCropRect {
    int32_t x; /* left column */
    int32_t y; /* top row */
    int32_t w; /* width */
    int32_t h; /* height */
} OvixCropRect;

/* Colour configuration of the CPU colour engine and of the renderer's GPU LUT.
 * 24 bytes. */
typedef struct OvixColorConfig {
    uint32_t processor; /* 0..3; 1 and 3 process frames, 0 and 2 pass them through */
    int32_t enable;     /* non-zero: apply the loaded LUT */
    uint32_t outFmt;    /* 0..4 output OvixPixelFormat; 0 keeps the input format */
    int32_t cs;         /* OvixColorSpace of the YUV side; other than 1..3: automatic */
    int32_t range;      /* OvixColorRange; other than 1..2: limited */
    float strength;     /* 0..1 blend of the LUT result over the input */
} OvixColorConfig;

/* One overlay item (text box, image or rectangle outline), used by the CPU
 * overlay port and by the renderer's GPU overlay. 1852 bytes. */
typedef struct OvixOsdItem {
    int32_t id;          /* key for update and remove */
    int32_t visible;     /* non-zero: drawn */
    int32_t kind;        /* ignored on input; set to OVIX_OSD_TEXT/IMAGE/RECT */
    int32_t layer;       /* drawing order, lower first */
    int32_t x;           /* top-left corner, frame pixels */
    int32_t y;
    int32_t width;       /* box size; 0 or below: automatic */
    int32_t height;
    float opacity;       /* multiplies every drawn alpha */
    uint32_t color;      /* ARGB text and rectangle colour; 0 means opaque white */
    uint32_t backColor;  /* ARGB text background / image key colour; 0 means 0x80000000 */
    int32_t transparent; /* text: no background box; image: key colour is transparent */
    int32_t size;        /* text: font size in pixels; rectangle: line thickness */
    OvixWChar text[OVIX_OSD_TEXT_SIZE];          /* zero-terminated UTF-16 */
    OvixWChar fontName[OVIX_OSD_FONT_NAME_SIZE]; /* empty: "Microsoft YaHei UI" */
    OvixWChar imagePath[OVIX_PATH_SIZE];         /* image file of an image item */
} OvixOsdItem;

/* Target picture of a video render; values below 1 (format 0 or MJPG) keep
 * those of the incoming frame. 12 bytes. */
typedef struct OvixVideoRenderConfig {
    int32_t width;
    int32_t height;
    int32_t format; /* OvixPixelFormat */
} OvixVideoRenderConfig;

/* Recording of the renderer's final frame (OVIX_StartVideoRenderGpuRecord).
 * Values below 1 take the defaults noted. 552 bytes. */
typedef struct OvixGpuRecordConfig {
    OvixWChar path[OVIX_PATH_SIZE]; /* output MP4 file, zero-terminated, not empty */
    int32_t reserved[2];            /* not read */
    int32_t fps;                    /* default 30 */
    int32_t bitrate;                /* H.264 bit/s, default 8000000 */
    int32_t audio;                  /* non-zero: record the audio the render receives */
    int32_t sampleRate;             /* default 48000 */
    int32_t channels;               /* default 2 */
    int32_t audioBitrate;           /* AAC bit/s, default 128000 */
} OvixGpuRecordConfig;

/* ------------------------------------------------------------------------ */
/* Recorder                                                                  */
/* ------------------------------------------------------------------------ */

/* Recorder configuration (OVIX_SetRecorderConfig). 576 bytes. */
typedef struct OvixRecorderConfig {
    OvixWChar filePath[OVIX_PATH_SIZE]; /* output file; empty keeps the creation path */
    int32_t reserved1;  /* stored (0 as 1), no effect */
    int32_t reserved2;  /* stored (0 as 1), no effect */
    int32_t width;      /* 0 or below: the first frame's width */
    int32_t height;     /* 0 or below: the first frame's height */
    int32_t inputFps;   /* frame rate of the source */
    int32_t recordFps;  /* above 0: record at this rate; otherwise follow the input */
    int32_t bitrate;    /* H.264 bit/s of the encoder path; 0 or below: 8000000 */
    int32_t audio;      /* non-zero: add the PCM audio as an AAC track */
    int32_t inputMode;  /* OvixRecordInputMode */
    int32_t split;      /* OvixRecordSplitMode */
    uint64_t maxBytes;  /* split by size: segment limit; 0 means 1 GiB */
    int32_t seconds;    /* split by time: segment length; 0 or below means 1800 */
} OvixRecorderConfig;

/* Recorder counters (OVIX_GetRecorderStats). 64 bytes. */
typedef struct OvixRecorderStats {
    int64_t inputFrames;      /* video frames taken from the queue while recording */
    int64_t encodedFrames;    /* video samples written, repeats included */
    int64_t droppedFrames;    /* video frames not written */
    int64_t duplicatedFrames; /* repeats written by frame pacing */
    int64_t videoCallbacks;   /* calls of the encoded-video callback */
    int64_t audioCallbacks;   /* calls of the encoded-audio callback */
    int32_t targetFps;
    int32_t width;            /* recorded width */
    int32_t height;           /* recorded height */
} OvixRecorderStats;

/* One written video sample, passed to the encoded-video callback. Valid only
 * during the call. 56 bytes. */
typedef struct OvixEncodedVideoPacket {
    uint8_t* data;       /* Annex-B access unit; null when the platform encoder wrote it */
    int32_t size;        /* byte count; 0 when data is null */
    int32_t origin;      /* 1; 2 when H.264 bytes went to the platform writer */
    int64_t pts;         /* 100 ns from the first frame of the recording */
    int64_t dts;         /* equal to pts */
    int64_t frameNumber; /* 1 for the first sample */
    int32_t key;         /* 1 for a key frame */
    int32_t width;       /* recorded width */
    int32_t height;      /* recorded height */
} OvixEncodedVideoPacket;

/* One written audio packet, passed to the encoded-audio callback. Valid only
 * during the call. 40 bytes. */
typedef struct OvixEncodedAudioPacket {
    uint8_t* data;         /* one raw AAC frame; null when the platform encoder wrote it */
    int32_t size;          /* byte count; 0 when data is null */
    int32_t origin;        /* 1 */
    int64_t pts;           /* audio time, 100 ns */
    int32_t sampleRate;
    int32_t channels;
    int32_t bitsPerSample; /* 16, the PCM sample size */
} OvixEncodedAudioPacket;

/* Encoded-video callback of a recorder; runs on the recorder's worker thread
 * with the recorder locked, so it must not call the recorder's functions. */
typedef void (*OvixEncodedVideoCallback)(const OvixEncodedVideoPacket* packet, void* user);

/* Encoded-audio callback of a recorder; runs with the recorder locked on the
 * thread that writes the packet (normally the one delivering the audio), so it
 * must not call the recorder's functions. */
typedef void (*OvixEncodedAudioCallback)(const OvixEncodedAudioPacket* packet, void* user);

/* ------------------------------------------------------------------------ */
/* File source                                                               */
/* ------------------------------------------------------------------------ */

/* What a file source plays and how much it buffers (OVIX_CreateFileSource).
 * 540 bytes. */
typedef struct OvixFileSourceConfig {
    OvixWChar path[OVIX_PATH_SIZE]; /* file path or URL, zero-terminated */
    int32_t videoFormat;     /* 0 or 2 (NV12); anything else makes Start fail with -4 */
    int32_t audioSampleRate; /* below 1: the file's own rate */
    int32_t audioChannels;   /* below 1: the file's own channel count */
    int32_t maxVideoQueue;   /* decoded frames held ahead; below 1: 12; at most 120 */
    int32_t maxAudioQueue;   /* decoded blocks held ahead; below 1: 64; at most 512 */
} OvixFileSourceConfig;

/* Media information of the open file (OVIX_FileSourceGetInfo). 48 bytes. */
typedef struct OvixFileSourceInfo {
    int64_t duration;             /* 100 ns; 0 when unknown */
    int32_t hasVideo;             /* 1 when a video stream is decoded */
    int32_t hasAudio;             /* 1 when an audio stream is decoded */
    int32_t width;                /* visible width of delivered pictures */
    int32_t height;               /* visible height of delivered pictures */
    int32_t frameRateNumerator;   /* 0 if none */
    int32_t frameRateDenominator; /* 1 if none */
    int32_t videoFormat;          /* 2 (NV12) once video is configured */
    int32_t sampleRate;           /* output sample rate */
    int32_t channels;             /* output channel count */
    int32_t bitsPerSample;        /* 16 once audio is configured */
} OvixFileSourceInfo;

/* One file source event. 32 bytes. */
typedef struct OvixFileSourceEvent {
    int32_t type;     /* OVIX_FILE_EVENT_* */
    int32_t value;    /* 0; -1 for error events */
    int64_t position; /* current position, 100 ns */
    int64_t duration; /* media duration, 100 ns */
    int64_t detail;   /* error events: the failing platform result code (negative); else 0 */
} OvixFileSourceEvent;

/* Event callback of a file source. The started event runs on the thread that
 * calls OVIX_Start, the others on the source's own threads; never stop or
 * destroy the source from inside it. */
typedef void (*OvixFileSourceEventCallback)(OvixPortHandle source, const OvixFileSourceEvent* event,
                                            void* user);

/* ======================================================================== */
/* Library lifecycle                                                         */
/* ======================================================================== */

/* Start the library (platform services, device lists). 0, or -1 when a
 * platform start-up fails. Call from the application thread. */
OVIX_API int OVIX_Init(void);

/* Release what OVIX_Init set up; does not stop or destroy ports (destroy them
 * first). Always 0, also without a prior OVIX_Init. */
OVIX_API int OVIX_Shutdown(void);

/* The version text "6.2.3"; static storage, never freed. */
OVIX_API const char* OVIX_GetVersion(void);

/* Fill out with 6, 2, 3; does nothing when out is null. */
OVIX_API void OVIX_GetVersionEx(OvixVersion* out);

/* The version as one integer, OVIX_API_VERSION (60203). */
OVIX_API int OVIX_GetApiVersion(void);

/* Switch the log file ovixcapture.log (next to the executable) on (non-zero,
 * the file is recreated) or off. 0, or -1 when the file cannot be created. */
OVIX_API int OVIX_EnableLog(int enable);

/* Set the OvixPipelineMode (0 or 1) that video renders created from now on
 * start with; -2 for other values. Works before OVIX_Init. */
OVIX_API int OVIX_SetDefaultPipelineMode(int mode);

/* The default pipeline mode of new video renders, 0 or 1. */
OVIX_API int OVIX_GetDefaultPipelineMode(void);

/* ======================================================================== */
/* Devices                                                                   */
/* ======================================================================== */

/* Enumerate all devices again and drop the capability cache. 0, or -3 when
 * the library is not initialised. */
OVIX_API int OVIX_RefreshDeviceList(void);

/* Number of video capture devices; 0 when not initialised. */
OVIX_API int OVIX_GetVideoDeviceCount(void);

/* Copy video device `index` into out. 0; -2 for a null out or an index out
 * of range; -3 when not initialised. */
OVIX_API int OVIX_GetVideoDeviceInfo(int index, OvixDeviceInfo* out);

/* Number of active audio capture endpoints; 0 when not initialised. */
OVIX_API int OVIX_GetAudioInputDeviceCount(void);

/* Copy audio capture endpoint `index` into out. 0, -2 or -3 as for
 * OVIX_GetVideoDeviceInfo. */
OVIX_API int OVIX_GetAudioInputDeviceInfo(int index, OvixDeviceInfo* out);

/* Number of active audio playback endpoints; 0 when not initialised. */
OVIX_API int OVIX_GetAudioRenderDeviceCount(void);

/* Copy audio playback endpoint `index` into out. 0, -2 or -3 as for
 * OVIX_GetVideoDeviceInfo. */
OVIX_API int OVIX_GetAudioRenderDeviceInfo(int index, OvixDeviceInfo* out);

/* Number of capture formats of video device `device`; probes the device on
 * the calling thread once per enumeration. 0 on any failure. */
OVIX_API int OVIX_GetVideoCapabilityCount(int device);

/* Copy capture format `index` of video device `device` into out. 0; -2 for a
 * null out, a bad device or index; -3 when not initialised. */
OVIX_API int OVIX_GetVideoCapability(int device, int index, OvixVideoCapability* out);

/* Same as OVIX_GetVideoCapabilityCount. */
OVIX_API int OVIX_GetVideoFormatCount(int device);

/* Same as OVIX_GetVideoCapability. */
OVIX_API int OVIX_GetVideoFormatInfo(int device, int index, OvixVideoCapability* out);

/* Show the capture device's own property pages, modal to parent (a window
 * handle). 0 shown; -2 no such device; -1 cannot open; -4 no pages. */
OVIX_API int OVIX_ShowVideoDevicePropertyPage(void* parent, int device);

/* Show the property pages of the crossbar feeding the device, modal to parent.
 * 0 shown; -2 no such device; -1 cannot open; -4 no crossbar or no pages. */
OVIX_API int OVIX_ShowVideoCrossbarPropertyPage(void* parent, int device);

/* ======================================================================== */
/* Port graph                                                                */
/* ======================================================================== */

/* Connect src to dst under the connection table. 0 (also when already
 * connected); -2 null handle; -4 pair not allowed; -1 src being destroyed. */
OVIX_API int OVIX_Connect(OvixPortHandle src, OvixPortHandle dst);

/* Remove dst from src's outputs (both outputs of an overlay port, waiting
 * briefly for overlay deliveries in progress). 0, also when not connected; -2 null handle. */
OVIX_API int OVIX_Disconnect(OvixPortHandle src, OvixPortHandle dst);

/* Stop and destroy a port; the handle is invalid after 0. -2 null; -4 for a
 * file source output; the stop's error when it fails (the port lives on). */
OVIX_API int OVIX_DestroyPort(OvixPortHandle port);

/* Start a port (sources and the sinks that need it); 0 for ports without a
 * started state. -2 null; else the port's own result. */
OVIX_API int OVIX_Start(OvixPortHandle port);

/* Stop a port; 0 for ports without a started state. -2 null; else the port's
 * own result. Do not call it on the port's own delivery threads. */
OVIX_API int OVIX_Stop(OvixPortHandle port);

/* Set (or with fn null remove) the port's video callback. It runs on the
 * delivering thread (a capture input's dispatch thread). 0, or -2 null port. */
OVIX_API int OVIX_SetVideoFrameCallback(OvixPortHandle port, OvixVideoFrameCallback fn, void* user);

/* Set (or with fn null remove) the port's audio callback; runs on the
 * delivering thread. 0, or -2 null port. */
OVIX_API int OVIX_SetAudioFrameCallback(OvixPortHandle port, OvixAudioFrameCallback fn, void* user);

/* ======================================================================== */
/* Video input                                                               */
/* ======================================================================== */

/* New capture-device port (device 0, 1280x720, 30 fps, RGB32); null when not
 * initialised. Free it with OVIX_DestroyPort. */
OVIX_API OvixPortHandle OVIX_CreateVideoInput(void);

/* Choose the capture device by index (checked at start). 0, or -2 for a
 * wrong port or a negative index. Takes effect at the next start. */
OVIX_API int OVIX_SetVideoInputDevice(OvixPortHandle port, int index);

/* Request size, frame rate and OvixPixelFormat. 0, or -2 for a wrong port, a
 * size or rate of 0 or below, or format 0. Takes effect at the next start. */
OVIX_API int OVIX_SetVideoInputFormat(OvixPortHandle port, int width, int height, int fps, int format);

/* Set device, format, colour space, range and buffers at once (config is
 * copied). 0; -2 for a null config or values the two setters above refuse. */
OVIX_API int OVIX_SetVideoInputConfig(OvixPortHandle port, const OvixVideoInputConfig* config);

/* ======================================================================== */
/* Audio input, render and mux                                               */
/* ======================================================================== */

/* New audio capture port (endpoint 0, 48000 Hz, 2 channels, 16 bits); null
 * when not initialised. Blocks are delivered on its own capture thread. */
OVIX_API OvixPortHandle OVIX_CreateAudioInput(void);

/* Choose the capture endpoint by index, used at the next start. 0, or -2 for
 * a wrong port or a negative index. */
OVIX_API int OVIX_SetAudioInputDevice(OvixPortHandle port, int index);

/* Set the requested PCM layout. 0, or -2 for a wrong port, a rate or channel
 * count of 0 or below, or bits other than 16. */
OVIX_API int OVIX_SetAudioInputPCM(OvixPortHandle port, int sampleRate, int channels, int bitsPerSample);

/* New audio playback port on the default endpoint; null when not initialised.
 * It plays on the thread that delivers the audio. */
OVIX_API OvixPortHandle OVIX_CreateAudioRender(void);

/* Play on the system default endpoint (reopened with the next block). 0, or
 * -2 for a wrong port. */
OVIX_API int OVIX_SetAudioRenderDefaultDevice(OvixPortHandle port);

/* Play on playback endpoint `index` (-1: system default). 0, or -2 for a
 * wrong port or an index below -1 or not below the endpoint count. */
OVIX_API int OVIX_SetAudioRenderDevice(OvixPortHandle port, int index);

/* Set the playback volume, clamped to 0..1 (NaN gives 0). 0, or -2 for a
 * wrong port. */
OVIX_API int OVIX_SetAudioRenderVolume(OvixPortHandle port, float volume);

/* Mute (non-zero) or unmute. 0, or -2 for a wrong port. */
OVIX_API int OVIX_SetAudioRenderMute(OvixPortHandle port, int mute);

/* New audio fan-out port; null when not initialised. Forwards each block
 * unchanged on the delivering thread. */
OVIX_API OvixPortHandle OVIX_CreateAudioMux(void);

/* ======================================================================== */
/* Video processing                                                          */
/* ======================================================================== */

/* New port fed by OVIX_PushVideoFrame; null when not initialised. */
OVIX_API OvixPortHandle OVIX_CreateVideoFrameSource(void);

/* Deliver one frame synchronously on the calling thread; the frame is not
 * copied and may be reused on return. 0; -2 bad port, null frame or data[0],
 * size below 1 or format 0; -4 format outside 1..6. */
OVIX_API int OVIX_PushVideoFrame(OvixPortHandle port, const OvixVideoFrame* frame);

/* New crop port (disabled, empty rectangle); null when not initialised. */
OVIX_API OvixPortHandle OVIX_CreateVideoCrop(void);

/* Set the crop rectangle (copied, not validated) from the next frame on. 0,
 * or -2 for a wrong port or a null rect. */
OVIX_API int OVIX_SetVideoCropRect(OvixPortHandle port, const OvixCropRect* rect);

/* Switch cropping on (non-zero) or off (frames pass unchanged). 0, or -2 for
 * a wrong port. */
OVIX_API int OVIX_EnableVideoCrop(OvixPortHandle port, int enable);

/* New CPU colour engine port (passes frames through until configured); null
 * when not initialised. */
OVIX_API OvixPortHandle OVIX_CreateVideoColorEngine(void);

/* Set the engine's configuration (copied). 0; -2 wrong port, null cfg,
 * processor above 3 or strength outside 0..1; -4 outFmt above 4. */
OVIX_API int OVIX_SetVideoColorEngineConfig(OvixPortHandle port, const OvixColorConfig* cfg);

/* Copy the engine's configuration into out. 0, or -2 for a wrong port or a
 * null out. */
OVIX_API int OVIX_GetVideoColorEngineConfig(OvixPortHandle port, OvixColorConfig* out);

/* Load a .cube 3D LUT (UTF-16 path) on the calling thread; replaces the table,
 * does not enable it. 0; -2 bad port or empty path; -1 unreadable or malformed. */
OVIX_API int OVIX_LoadVideoColorEngineCubeFile(OvixPortHandle port, const OvixWChar* path);

/* Drop the engine's LUT. 0, or -2 for a wrong port. */
OVIX_API int OVIX_ClearVideoColorEngineLut(OvixPortHandle port);

/* New overlay port; null when not initialised. Output 0 gets frames
 * unchanged, output 1 with the visible items drawn in. */
OVIX_API OvixPortHandle OVIX_CreateVideoOsd(void);

/* Replace every text item by a copy of item. 0, or -2 for a wrong port or a
 * null item. */
OVIX_API int OVIX_SetVideoOsdText(OvixPortHandle port, const OvixOsdItem* item);

/* Replace every image item by a copy of item. 0, or -2 for a wrong port or a
 * null item. */
OVIX_API int OVIX_SetVideoOsdImage(OvixPortHandle port, const OvixOsdItem* item);

/* Add a copy of item as a text item; an id of 0 or below is assigned by the
 * port (and not returned). 0, or -2 for a wrong port or a null item. */
OVIX_API int OVIX_AddVideoOsdText(OvixPortHandle port, const OvixOsdItem* item);

/* Add a copy of item as an image item. 0, or -2 for a wrong port or a null item. */
OVIX_API int OVIX_AddVideoOsdImage(OvixPortHandle port, const OvixOsdItem* item);

/* Add a copy of item as a rectangle outline. 0, or -2 for a wrong port or a
 * null item. */
OVIX_API int OVIX_AddVideoOsdRect(OvixPortHandle port, const OvixOsdItem* item);

/* Replace the text of the first text item with this id (text is copied). 0;
 * -2 wrong port, id below 1, null text or no such item. */
OVIX_API int OVIX_UpdateVideoOsdText(OvixPortHandle port, int id, const OvixWChar* text);

/* Remove every item with this id. 0 when one was removed, else -2 (also for
 * a wrong port). */
OVIX_API int OVIX_RemoveVideoOsdItem(OvixPortHandle port, int id);

/* Remove all items. 0, or -2 for a wrong port. */
OVIX_API int OVIX_ClearVideoOsd(OvixPortHandle port);

/* Connect dst to output 0 (plain frames) or 1 (with overlay) without the
 * connection table. 0; -2 wrong port, null dst or other output. */
OVIX_API int OVIX_ConnectVideoOsdOutput(OvixPortHandle port, int output, OvixPortHandle dst);

/* New video fan-out port; null when not initialised. Forwards each frame
 * unchanged on the delivering thread. */
OVIX_API OvixPortHandle OVIX_CreateVideoMux(void);

/* ======================================================================== */
/* Video render                                                              */
/* ======================================================================== */

/* New render port drawing into window hwnd (may be null: convert and call
 * back only); null when not initialised. Renders on the delivering thread. */
OVIX_API OvixPortHandle OVIX_CreateVideoRender(void* hwnd);

/* Set the target size and format frames are converted to (copied). 0, or -2
 * for a wrong port, a null cfg or a negative size. */
OVIX_API int OVIX_SetVideoRenderConfig(OvixPortHandle port, const OvixVideoRenderConfig* cfg);

/* Choose the OvixInterpolationMode (0..2); waits for a frame in progress. 0,
 * or -2 for a wrong port or another mode. */
OVIX_API int OVIX_SetVideoRenderInterpolationMode(OvixPortHandle port, int mode);

/* Set the OvixPipelineMode (0 or 1); switching to 0 drops LUT, GPU overlay
 * and GPU recording. 0, or -2 for a wrong port or another mode. */
OVIX_API int OVIX_SetVideoRenderPipelineMode(OvixPortHandle port, int mode);

/* The render's pipeline mode, 0 or 1; 0 for a wrong port. */
OVIX_API int OVIX_GetVideoRenderPipelineMode(OvixPortHandle port);

/* Queue the GPU colour configuration (copied; enabling switches to pipeline
 * mode 1), applied by the rendering thread. 0, or -2 for a wrong port, null
 * cfg or strength outside 0..1. */
OVIX_API int OVIX_SetVideoRenderLutConfig(OvixPortHandle port, const OvixColorConfig* cfg);

/* Load a .cube file (UTF-16 path) on the calling thread and queue it for the
 * next frame; does not enable it. 0; -2 bad port or empty path; -1 unreadable or malformed. */
OVIX_API int OVIX_LoadVideoRenderCubeFile(OvixPortHandle port, const OvixWChar* path);

/* Queue dropping the GPU LUT and disabling it. 0, or -2 for a wrong port. */
OVIX_API int OVIX_ClearVideoRenderLut(OvixPortHandle port);

/* Save the shown picture (UTF-16 path) as OvixSnapshotFormat 1 BMP or 2 JPEG;
 * waits for a frame in progress. 0; -2 bad port, path or format; -1 nothing to save or write failed. */
OVIX_API int OVIX_SaveVideoRenderSnapshot(OvixPortHandle port, const OvixWChar* path, int format);

/* Queue a GPU overlay text item (copied; switches to pipeline mode 1). 0, or
 * -2 for a wrong port or a null item. */
OVIX_API int OVIX_AddVideoRenderGpuOsdText(OvixPortHandle port, const OvixOsdItem* item);

/* Queue a GPU overlay image item (copied; switches to pipeline mode 1). 0, or
 * -2 for a wrong port or a null item. */
OVIX_API int OVIX_AddVideoRenderGpuOsdImage(OvixPortHandle port, const OvixOsdItem* item);

/* Queue a GPU overlay rectangle (copied; switches to pipeline mode 1). 0, or
 * -2 for a wrong port or a null item. */
OVIX_API int OVIX_AddVideoRenderGpuOsdRect(OvixPortHandle port, const OvixOsdItem* item);

/* Queue a new text (copied; null counts as empty) for GPU overlay items with
 * this id; switches to pipeline mode 1. 0, or -2 for a wrong port. */
OVIX_API int OVIX_UpdateVideoRenderGpuOsdText(OvixPortHandle port, int id, const OvixWChar* text);

/* Queue removal of the GPU overlay items with this id; switches to pipeline
 * mode 1. 0, or -2 for a wrong port. */
OVIX_API int OVIX_RemoveVideoRenderGpuOsdItem(OvixPortHandle port, int id);

/* Queue removal of all GPU overlay items. 0, or -2 for a wrong port. */
OVIX_API int OVIX_ClearVideoRenderGpuOsd(OvixPortHandle port);

/* Arm recording of the final frame into an MP4 file (cfg copied; the file is
 * made at the next frame; ignored while recording). 0, or -2 for a wrong
 * port, null cfg or empty path. */
OVIX_API int OVIX_StartVideoRenderGpuRecord(OvixPortHandle port, const OvixGpuRecordConfig* cfg);

/* Stop the final-frame recording and finalise its file; waits for a frame in
 * progress. 0 (also when not recording), or -2 for a wrong port. */
OVIX_API int OVIX_StopVideoRenderGpuRecord(OvixPortHandle port);

/* 1 while the final-frame recorder is active, else 0 (also for a wrong port). */
OVIX_API int OVIX_IsVideoRenderGpuRecording(OvixPortHandle port);

/* ======================================================================== */
/* Recorder                                                                  */
/* ======================================================================== */

/* New MP4 recorder port writing to filePath (UTF-8; null or empty: set it
 * with OVIX_SetRecorderConfig); null when not initialised. */
OVIX_API OvixPortHandle OVIX_CreateRecorder(const char* filePath);

/* Set the recorder's configuration (copied) while it is stopped. 0; -2 wrong
 * port or null config; -1 while recording. */
OVIX_API int OVIX_SetRecorderConfig(OvixPortHandle recorder, const OvixRecorderConfig* config);

/* Copy the recorder's counters into out. 0, or -2 for a wrong port or a null out. */
OVIX_API int OVIX_GetRecorderStats(OvixPortHandle recorder, OvixRecorderStats* out);

/* Set (fn null: remove) the callback for every written video sample; it runs
 * on the recorder's worker thread with the recorder locked. 0, or -2 for a wrong port. */
OVIX_API int OVIX_SetRecorderVideoCallback(OvixPortHandle recorder, OvixEncodedVideoCallback fn, void* user);

/* Set (fn null: remove) the callback for every written audio packet; it runs
 * with the recorder locked on the thread writing the packet. 0, or -2 for a wrong port. */
OVIX_API int OVIX_SetRecorderAudioCallback(OvixPortHandle recorder, OvixEncodedAudioCallback fn, void* user);

/* ======================================================================== */
/* File source                                                               */
/* ======================================================================== */

/* New media-file source (config copied; nothing is read before OVIX_Start);
 * null when not initialised, config null or path empty. */
OVIX_API OvixPortHandle OVIX_CreateFileSource(const OvixFileSourceConfig* config);

/* The source's video output port (type 5), owned by the source: connect it
 * and set callbacks on it, never destroy it. Null for a wrong port. */
OVIX_API OvixPortHandle OVIX_FileSourceGetVideoOutput(OvixPortHandle source);

/* The source's audio output port (type 6), owned by the source. Null for a
 * wrong port. */
OVIX_API OvixPortHandle OVIX_FileSourceGetAudioOutput(OvixPortHandle source);

/* Copy the media information into out. 0 when the file is open, -1 when not
 * (out is still filled); -2 for a wrong port or a null out. */
OVIX_API int OVIX_FileSourceGetInfo(OvixPortHandle source, OvixFileSourceInfo* out);

/* Set (fn null: remove) the event callback. 0, or -2 for a wrong port. */
OVIX_API int OVIX_FileSourceSetEventCallback(OvixPortHandle source, OvixFileSourceEventCallback fn, void* user);

/* Pause (non-zero) or resume playback. 0; -1 when not running; -2 for a wrong port. */
OVIX_API int OVIX_FileSourcePause(OvixPortHandle source, int pause);

/* Request a seek to position (100 ns, clamped to 0..duration); done on the
 * reader thread. 0; -1 when not running; -2 for a wrong port. */
OVIX_API int OVIX_FileSourceSeek(OvixPortHandle source, int64_t position);

/* Store the current position (100 ns) in out. 0, or -2 for a wrong port or a
 * null out. */
OVIX_API int OVIX_FileSourceGetPosition(OvixPortHandle source, int64_t* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* OVIXCAPTURE_H */
