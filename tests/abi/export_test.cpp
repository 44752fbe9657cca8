// The shared library exports the OVIX_* functions and nothing else: every
// defined dynamic symbol is one of the 93 names of the interface, and every
// function built so far is among them.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<char> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names of the symbols the ELF file defines in its dynamic symbol table.
std::set<std::string> DefinedDynamicSymbols(const std::vector<char>& image) {
  std::set<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return names;
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  for (size_t i = 0; i < sections.size(); ++i)
    std::memcpy(&sections[i], image.data() + eh.e_shoff + i * eh.e_shentsize, sizeof(Elf64_Shdr));
  for (const Elf64_Shdr& sh : sections) {
    if (sh.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr& strtab = sections.at(sh.sh_link);
    const char* strings = image.data() + strtab.sh_offset;
    for (size_t off = 0; off + sizeof(Elf64_Sym) <= sh.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, image.data() + sh.sh_offset + off, sizeof sym);
      const int bind = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0) continue;
      if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
      names.insert(strings + sym.st_name);
    }
  }
  return names;
}

std::set<std::string> InterfaceNames() {
  std::ifstream in(OVIX_EXPORTS_LIST_PATH);
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.insert(line);
  return names;
}

// The functions built so far; each later capability adds its own.
const char* const kImplemented[] = {
    "OVIX_Init", "OVIX_Shutdown", "OVIX_GetVersion", "OVIX_GetVersionEx", "OVIX_GetApiVersion",
    "OVIX_EnableLog", "OVIX_SetDefaultPipelineMode", "OVIX_GetDefaultPipelineMode",
    "OVIX_RefreshDeviceList", "OVIX_GetVideoDeviceCount", "OVIX_GetVideoDeviceInfo",
    "OVIX_GetAudioInputDeviceCount", "OVIX_GetAudioInputDeviceInfo", "OVIX_GetAudioRenderDeviceCount",
    "OVIX_GetAudioRenderDeviceInfo", "OVIX_Connect", "OVIX_Disconnect", "OVIX_DestroyPort", "OVIX_Start",
    "OVIX_Stop", "OVIX_SetVideoFrameCallback", "OVIX_SetAudioFrameCallback", "OVIX_CreateAudioMux",
    "OVIX_CreateAudioInput", "OVIX_SetAudioInputDevice", "OVIX_SetAudioInputPCM", "OVIX_CreateAudioRender",
    "OVIX_SetAudioRenderDefaultDevice", "OVIX_SetAudioRenderDevice", "OVIX_SetAudioRenderVolume",
    "OVIX_SetAudioRenderMute", "OVIX_CreateRecorder", "OVIX_SetRecorderConfig", "OVIX_GetRecorderStats",
    "OVIX_SetRecorderVideoCallback", "OVIX_SetRecorderAudioCallback",
    "OVIX_CreateVideoFrameSource", "OVIX_PushVideoFrame", "OVIX_CreateVideoMux",
    "OVIX_CreateVideoCrop", "OVIX_SetVideoCropRect", "OVIX_EnableVideoCrop", "OVIX_CreateVideoColorEngine",
    "OVIX_SetVideoColorEngineConfig", "OVIX_GetVideoColorEngineConfig", "OVIX_LoadVideoColorEngineCubeFile",
    "OVIX_ClearVideoColorEngineLut",
    "OVIX_CreateVideoOsd", "OVIX_SetVideoOsdText", "OVIX_SetVideoOsdImage", "OVIX_AddVideoOsdText",
    "OVIX_AddVideoOsdImage", "OVIX_AddVideoOsdRect", "OVIX_UpdateVideoOsdText", "OVIX_RemoveVideoOsdItem",
    "OVIX_ClearVideoOsd", "OVIX_ConnectVideoOsdOutput",
};

TEST(Exports, OnlyInterfaceFunctionsAreExported) {
  const std::set<std::string> interfaceNames = InterfaceNames();
  ASSERT_EQ(interfaceNames.size(), 93u);
  const std::set<std::string> exported = DefinedDynamicSymbols(ReadFile(OVIX_SHARED_LIBRARY_PATH));
  ASSERT_FALSE(exported.empty()) << "no dynamic symbols read from " << OVIX_SHARED_LIBRARY_PATH;
  for (const std::string& name : exported) EXPECT_TRUE(interfaceNames.count(name)) << "stray export: " << name;
  for (const char* name : kImplemented) {
    EXPECT_TRUE(interfaceNames.count(name)) << name << " is not an interface function";
    EXPECT_TRUE(exported.count(name)) << name << " is built but not exported";
  }
}

}  // namespace
