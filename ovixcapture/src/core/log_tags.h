// The source-file names that log lines print, one per area. An area may span
// several files; its lines always carry the area's name.
#pragma once

namespace ovix {

inline constexpr const char kTagApi[] = "ovix_api.cpp";
inline constexpr const char kTagCore[] = "ovix_core.cpp";
inline constexpr const char kTagVideoInput[] = "ovix_video_input.cpp";
inline constexpr const char kTagAudioInput[] = "ovix_audio_input.cpp";
inline constexpr const char kTagAudioRender[] = "ovix_audio_render.cpp";
inline constexpr const char kTagVideoRender[] = "ovix_video_render.cpp";
inline constexpr const char kTagVideoCrop[] = "ovix_video_crop.cpp";
inline constexpr const char kTagVideoColor[] = "ovix_video_color.cpp";
inline constexpr const char kTagVideoMux[] = "ovix_video_mux.cpp";
inline constexpr const char kTagVideoOsd[] = "ovix_video_osd.cpp";
inline constexpr const char kTagFileSource[] = "ovix_file_source.cpp";
inline constexpr const char kTagRecorder[] = "ovix_recorder.cpp";
inline constexpr const char kTagLog[] = "ovix_log.cpp";

}  // namespace ovix
