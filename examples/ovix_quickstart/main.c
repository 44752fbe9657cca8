/* ovix_quickstart: the first program to run.
 *
 * Switches the log on, starts the library, prints its version and the
 * device lists, then builds
 *
 *     frame source --> video mux A --> callback A
 *                  \-> video mux B --> callback B
 *
 * pushes 300 generated frames and checks that each consumer received every
 * frame exactly once and in order. Then it captures 3 seconds from the
 * built-in test pattern camera: input 1 alone in NV12 640x480, then input 2
 * joins on the same device asking for YUY2 1280x720, so the device is
 * reopened for the larger request and both inputs share it. It prints what
 * each input received. Exits 0 only when all of that worked. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ovixcapture.h"

#define FRAME_COUNT 300
#define WIDTH 320
#define HEIGHT 240

typedef struct Consumer {
    const char* name;
    int64_t expected; /* frame index the next frame must carry */
    int received;
    int outOfOrder;
} Consumer;

static void OnFrame(const OvixVideoFrame* frame, void* user) {
    Consumer* c = (Consumer*)user;
    if (frame->frameIndex != c->expected) c->outOfOrder++;
    c->expected = frame->frameIndex + 1;
    c->received++;
}

static void PrintDevices(const char* title, int (*count)(void), int (*info)(int, OvixDeviceInfo*)) {
    int n = count();
    printf("%s: %d\n", title, n);
    for (int i = 0; i < n; ++i) {
        OvixDeviceInfo d;
        if (info(i, &d) == OVIX_OK) printf("  [%d] %s  (%s)\n", d.index, d.name, d.id);
    }
}

/* A YUY2 picture: grey background with a bright bar that moves each frame. */
static void DrawFrame(uint8_t* yuy2, int64_t index) {
    int bar = (int)(index * 4 % WIDTH);
    for (int y = 0; y < HEIGHT; ++y) {
        uint8_t* row = yuy2 + (size_t)y * WIDTH * 2;
        for (int x = 0; x < WIDTH; x += 2) {
            uint8_t luma = (x >= bar && x < bar + 16) ? 235 : 64;
            row[x * 2 + 0] = luma;
            row[x * 2 + 1] = 128;
            row[x * 2 + 2] = luma;
            row[x * 2 + 3] = 128;
        }
    }
}

typedef struct CaptureStats {
    const char* name;
    int frames;
    int64_t lastIndex;
    int outOfOrder;
    int sizes;             /* distinct (width, height, format) seen, up to 4 */
    int width[4], height[4], format[4];
    int64_t firstTs, lastTs;
} CaptureStats;

static void OnCaptured(const OvixVideoFrame* f, void* user) {
    CaptureStats* s = (CaptureStats*)user;
    if (s->frames > 0 && f->frameIndex <= s->lastIndex) s->outOfOrder++;
    s->lastIndex = f->frameIndex;
    if (s->frames == 0) s->firstTs = f->timestamp;
    s->lastTs = f->timestamp;
    s->frames++;
    int known = 0;
    for (int i = 0; i < s->sizes; ++i)
        if (s->width[i] == f->width && s->height[i] == f->height && s->format[i] == f->format) known = 1;
    if (!known && s->sizes < 4) {
        s->width[s->sizes] = f->width;
        s->height[s->sizes] = f->height;
        s->format[s->sizes] = f->format;
        s->sizes++;
    }
}

static const char* FormatName(int f) {
    static const char* names[] = {"UNKNOWN", "YUY2", "NV12", "RGB24", "RGB32", "MJPG", "H264"};
    return f >= 0 && f <= 6 ? names[f] : "UNKNOWN";
}

static void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static int FindDevice(const char* name) {
    for (int i = 0; i < OVIX_GetVideoDeviceCount(); ++i) {
        OvixDeviceInfo d;
        if (OVIX_GetVideoDeviceInfo(i, &d) == OVIX_OK && strcmp(d.name, name) == 0) return i;
    }
    return -1;
}

/* Captures from the test pattern camera through two inputs; 1 when both
 * received frames in order and the shared device served both sizes. */
static int CaptureFromTestPattern(void) {
    int device = FindDevice("ovixcapture Test Pattern");
    if (device < 0) {
        fprintf(stderr, "the test pattern camera is not listed\n");
        return 0;
    }
    printf("capturing from device %d for 3 s\n", device);
    CaptureStats s1 = {"input 1 (NV12 640x480)", 0, 0, 0, 0, {0}, {0}, {0}, 0, 0};
    CaptureStats s2 = {"input 2 (YUY2 1280x720)", 0, 0, 0, 0, {0}, {0}, {0}, 0, 0};
    OvixPortHandle in1 = OVIX_CreateVideoInput();
    OvixPortHandle in2 = OVIX_CreateVideoInput();
    int ok = in1 && in2;
    ok = ok && OVIX_SetVideoInputDevice(in1, device) == OVIX_OK && OVIX_SetVideoInputDevice(in2, device) == OVIX_OK;
    ok = ok && OVIX_SetVideoInputFormat(in1, 640, 480, 30, OVIX_FORMAT_NV12) == OVIX_OK;
    ok = ok && OVIX_SetVideoInputFormat(in2, 1280, 720, 30, OVIX_FORMAT_YUY2) == OVIX_OK;
    ok = ok && OVIX_SetVideoFrameCallback(in1, OnCaptured, &s1) == OVIX_OK;
    ok = ok && OVIX_SetVideoFrameCallback(in2, OnCaptured, &s2) == OVIX_OK;
    ok = ok && OVIX_Start(in1) == OVIX_OK;
    if (ok) SleepMs(1500);
    ok = ok && OVIX_Start(in2) == OVIX_OK;
    if (ok) SleepMs(1500);
    if (in2) OVIX_Stop(in2);
    if (in1) OVIX_Stop(in1);
    if (!ok) fprintf(stderr, "starting the inputs failed\n");

    const CaptureStats* all[] = {&s1, &s2};
    for (int i = 0; i < 2; ++i) {
        const CaptureStats* s = all[i];
        double seconds = (double)(s->lastTs - s->firstTs) / 1e7;
        double rate = s->frames > 1 && seconds > 0 ? (s->frames - 1) / seconds : 0.0;
        printf("  %s: %d frames, %.1f fps, out of order %d, sizes:", s->name, s->frames, rate, s->outOfOrder);
        for (int k = 0; k < s->sizes; ++k) printf(" %dx%d %s", s->width[k], s->height[k], FormatName(s->format[k]));
        printf("\n");
        ok = ok && s->frames > 10 && s->outOfOrder == 0;
    }
    /* Input 1 saw its own format first, then the shared larger one; input 2
     * may catch a frame of the old format before the device is reopened,
     * then gets the larger one. */
    ok = ok && s1.sizes == 2 && s1.width[0] == 640 && s1.width[1] == 1280;
    ok = ok && s2.sizes >= 1 && s2.width[s2.sizes - 1] == 1280 && s2.format[s2.sizes - 1] == OVIX_FORMAT_YUY2;
    if (in1) OVIX_DestroyPort(in1);
    if (in2) OVIX_DestroyPort(in2);
    return ok;
}

typedef struct {
    int blocks;
    int64_t frames;
    int gaps; /* blocks whose time stamp does not follow from the frames before */
    int rate;
    int peak;
} AudioStats;

static void OnAudio(const OvixAudioFrame* f, void* user) {
    AudioStats* s = (AudioStats*)user;
    int64_t frames = f->size / (f->channels * 2);
    if (f->sampleRate > 0 && f->timestamp != s->frames * 10000000 / f->sampleRate) s->gaps++;
    const int16_t* samples = (const int16_t*)f->data;
    for (int64_t i = 0; i < frames * f->channels; ++i) {
        int v = samples[i] < 0 ? -samples[i] : samples[i];
        if (v > s->peak) s->peak = v;
    }
    s->rate = f->sampleRate;
    s->frames += frames;
    s->blocks++;
}

static int FindAudioDevice(const char* name, int (*count)(void), int (*info)(int, OvixDeviceInfo*)) {
    for (int i = 0; i < count(); ++i) {
        OvixDeviceInfo d;
        if (info(i, &d) == OVIX_OK && strcmp(d.name, name) == 0) return d.index;
    }
    return -1;
}

/* One second of the test tone played on the null speaker through an audio
 * mux whose callback watches the blocks; 1 when they came without gaps. */
static int PlayTestTone(void) {
    int mic = FindAudioDevice("ovixcapture Test Tone", OVIX_GetAudioInputDeviceCount, OVIX_GetAudioInputDeviceInfo);
    int speaker = FindAudioDevice("ovixcapture Null Speaker", OVIX_GetAudioRenderDeviceCount,
                                  OVIX_GetAudioRenderDeviceInfo);
    if (mic < 0 || speaker < 0) {
        fprintf(stderr, "the virtual audio endpoints are not listed\n");
        return 0;
    }
    printf("playing the test tone (input %d) on the null speaker (output %d) for 1 s\n", mic, speaker);
    AudioStats stats = {0, 0, 0, 0, 0};
    OvixPortHandle in = OVIX_CreateAudioInput();
    OvixPortHandle mux = OVIX_CreateAudioMux();
    OvixPortHandle render = OVIX_CreateAudioRender();
    int ok = in && mux && render;
    ok = ok && OVIX_SetAudioInputDevice(in, mic) == OVIX_OK && OVIX_SetAudioRenderDevice(render, speaker) == OVIX_OK;
    ok = ok && OVIX_Connect(in, mux) == OVIX_OK && OVIX_Connect(mux, render) == OVIX_OK;
    ok = ok && OVIX_SetAudioFrameCallback(mux, OnAudio, &stats) == OVIX_OK;
    ok = ok && OVIX_Start(render) == OVIX_OK && OVIX_Start(in) == OVIX_OK;
    if (ok) SleepMs(1000);
    if (in) OVIX_Stop(in); /* joins the capture thread: stats are final */
    if (render) OVIX_Stop(render);
    if (!ok) fprintf(stderr, "building the audio graph failed\n");
    printf("  %d blocks, %lld frames at %d Hz, %d gaps, peak %d\n", stats.blocks, (long long)stats.frames, stats.rate,
           stats.gaps, stats.peak);
    ok = ok && stats.blocks > 10 && stats.gaps == 0 && stats.peak > 0;
    if (in) OVIX_DestroyPort(in);
    if (mux) OVIX_DestroyPort(mux);
    if (render) OVIX_DestroyPort(render);
    return ok;
}

int main(void) {
    if (OVIX_EnableLog(1) != OVIX_OK) fprintf(stderr, "log file could not be created; going on without it\n");
    if (OVIX_Init() != OVIX_OK) {
        fprintf(stderr, "OVIX_Init failed\n");
        return 1;
    }
    OvixVersion v;
    OVIX_GetVersionEx(&v);
    printf("ovixcapture %s (api %d, %d.%d.%d)\n", OVIX_GetVersion(), OVIX_GetApiVersion(), v.major, v.minor, v.patch);
    PrintDevices("video devices", OVIX_GetVideoDeviceCount, OVIX_GetVideoDeviceInfo);
    PrintDevices("audio input endpoints", OVIX_GetAudioInputDeviceCount, OVIX_GetAudioInputDeviceInfo);
    PrintDevices("audio render endpoints", OVIX_GetAudioRenderDeviceCount, OVIX_GetAudioRenderDeviceInfo);

    OvixPortHandle source = OVIX_CreateVideoFrameSource();
    OvixPortHandle muxA = OVIX_CreateVideoMux();
    OvixPortHandle muxB = OVIX_CreateVideoMux();
    Consumer a = {"mux A callback", 0, 0, 0};
    Consumer b = {"mux B callback", 0, 0, 0};
    int ok = source && muxA && muxB;
    ok = ok && OVIX_Connect(source, muxA) == OVIX_OK && OVIX_Connect(source, muxB) == OVIX_OK;
    ok = ok && OVIX_SetVideoFrameCallback(muxA, OnFrame, &a) == OVIX_OK;
    ok = ok && OVIX_SetVideoFrameCallback(muxB, OnFrame, &b) == OVIX_OK;
    ok = ok && OVIX_Start(source) == OVIX_OK;
    if (!ok) fprintf(stderr, "building the graph failed\n");

    uint8_t* pixels = malloc((size_t)WIDTH * HEIGHT * 2);
    int pushed = 0;
    for (int64_t i = 0; ok && pixels && i < FRAME_COUNT; ++i) {
        OvixVideoFrame frame;
        memset(&frame, 0, sizeof frame);
        DrawFrame(pixels, i);
        frame.data[0] = pixels;
        frame.stride[0] = WIDTH * 2;
        frame.width = WIDTH;
        frame.height = HEIGHT;
        frame.format = OVIX_FORMAT_YUY2;
        frame.timestamp = i * 333333; /* 30 frames a second, in 100 ns */
        frame.frameIndex = i;
        if (OVIX_PushVideoFrame(source, &frame) == OVIX_OK) pushed++;
    }
    free(pixels);

    const Consumer* consumers[] = {&a, &b};
    int allArrived = pushed == FRAME_COUNT;
    printf("pushed %d frames of %dx%d YUY2\n", pushed, WIDTH, HEIGHT);
    for (int i = 0; i < 2; ++i) {
        const Consumer* c = consumers[i];
        int good = c->received == FRAME_COUNT && c->outOfOrder == 0;
        printf("  %s: received %d, out of order %d -> %s\n", c->name, c->received, c->outOfOrder,
               good ? "ok" : "FAILED");
        allArrived = allArrived && good;
    }

    if (source) OVIX_Stop(source);
    if (source) OVIX_DestroyPort(source);
    if (muxA) OVIX_DestroyPort(muxA);
    if (muxB) OVIX_DestroyPort(muxB);
    printf("%s\n", allArrived ? "every frame arrived exactly once, in order" : "frames were lost or reordered");

    int captured = CaptureFromTestPattern();
    printf("%s\n", captured ? "capture: both inputs received frames in order" : "capture FAILED");
    int played = PlayTestTone();
    printf("%s\n", played ? "audio: every block arrived in order" : "audio FAILED");
    OVIX_Shutdown();
    return allArrived && captured && played ? 0 : 1;
}
