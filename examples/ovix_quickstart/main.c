/* ovix_quickstart: the first program to run.
 *
 * Switches the log on, starts the library, prints its version and the
 * device lists, then builds
 *
 *     frame source --> video mux A --> callback A
 *                  \-> video mux B --> callback B
 *
 * pushes 300 generated frames and checks that each consumer received every
 * frame exactly once and in order. Exits 0 only then. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    OVIX_Shutdown();
    printf("%s\n", allArrived ? "every frame arrived exactly once, in order" : "frames were lost or reordered");
    return allArrived ? 0 : 1;
}
