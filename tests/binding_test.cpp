// Run-time binding of the media libraries and the video hook plug-ins.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "binding/ffapi.h"
#include "binding/hooks.h"
#include "binding/loader.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace fs = std::filesystem;

namespace {

// Loads the libraries. These tests load and unload them again and again; what
// the libraries' dependencies allocate while being loaded is lost at each unload
// and is not ours to report.
bool load(const std::string& folder, bool versioned) {
#if defined(__SANITIZE_ADDRESS__)
  __lsan::ScopedDisabler no_leak_check;
#endif
  return klaventa::load_libraries(folder, versioned);
}

const char* const kSystemLibDir = "/usr/lib/x86_64-linux-gnu";
const char* const kBases[] = {"libavcodec", "libavformat", "libavutil", "libswscale", "libswresample", "libavfilter"};

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// A temporary "Common Files" folder; removed with the object.
class LibraryFolder {
 public:
  LibraryFolder() {
    char tmpl[] = "/tmp/klaventa-binding-XXXXXX";
    root_ = mkdtemp(tmpl);
    dir_ = root_ / "Common Files";
    fs::create_directory(dir_);
  }
  ~LibraryFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& dir() const { return dir_; }

  // Links the system's copy of a library under the name load_libraries looks for.
  void link(const char* base, bool versioned) {
    const std::string name = klaventa::library_file_name(base, versioned);
    fs::create_symlink(fs::path(kSystemLibDir) / name, dir_ / name);
  }
  void link_all_but(const std::string& skipped, bool versioned) {
    for (const char* base : kBases)
      if (skipped != base) link(base, versioned);
  }
  // Compiles `source` into a shared object with the given file name.
  bool build_stub(const std::string& file, const std::string& source) {
    const fs::path c = root_ / "stub.c";
    std::ofstream(c) << source << "\n";
    const std::string cmd = "cc -shared -fPIC -o '" + (dir_ / file).string() + "' '" + c.string() + "' 2>&1";
    return std::system(cmd.c_str()) == 0;
  }

 private:
  fs::path root_;
  fs::path dir_;
};

void expect_nothing_bound() {
  EXPECT_FALSE(klaventa::libraries_loaded());
  EXPECT_FALSE(klaventa::avcodec_bound());
  EXPECT_FALSE(klaventa::avformat_bound());
  EXPECT_FALSE(klaventa::avutil_bound());
  EXPECT_FALSE(klaventa::swscale_bound());
  EXPECT_FALSE(klaventa::swresample_bound());
  EXPECT_FALSE(klaventa::avfilter_bound());
  EXPECT_EQ(ff::avcodec_open2, nullptr);
  EXPECT_EQ(ff::avformat_open_input, nullptr);
  EXPECT_EQ(ff::av_log, nullptr);
  EXPECT_EQ(ff::sws_scale, nullptr);
}

// load_libraries is process-wide: every test starts unloaded and leaves the
// libraries loaded again for the others.
class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override { klaventa::unload_libraries(); }
  void TearDown() override {
    klaventa::unload_libraries();
    ASSERT_TRUE(load("", true)) << klaventa::library_load_error();
  }
};

class BindingFromFolder : public BindingTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BindingFromFolder, TakesEveryLibraryFromTheFolder) {
  const bool versioned = GetParam();
  LibraryFolder folder;
  folder.link_all_but("", versioned);

  ASSERT_TRUE(load(folder.dir().string(), versioned)) << klaventa::library_load_error();
  EXPECT_TRUE(klaventa::libraries_loaded());
  EXPECT_TRUE(klaventa::avcodec_bound() && klaventa::avformat_bound() && klaventa::avutil_bound() &&
              klaventa::swscale_bound() && klaventa::swresample_bound() && klaventa::avfilter_bound());
  EXPECT_EQ(klaventa::library_load_error(), "");

  // The bound entry points live in the folder's files and work.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(ff::avcodec_open2), &info), 0);
  EXPECT_TRUE(starts_with(info.dli_fname, folder.dir().string())) << info.dli_fname;
  const AVCodec* mpeg4 = ff::avcodec_find_encoder_by_name("mpeg4");
  ASSERT_NE(mpeg4, nullptr);
  EXPECT_EQ(mpeg4->id, AV_CODEC_ID_MPEG4);
  EXPECT_STREQ(ff::av_get_pix_fmt_name(AV_PIX_FMT_YUV420P), "yuv420p");
}

INSTANTIATE_TEST_SUITE_P(VersionedAndPlainNames, BindingFromFolder, ::testing::Values(true, false));

TEST_F(BindingTest, MissingSwscaleFailsAndUnloadsTheOthers) {
  LibraryFolder folder;
  folder.link_all_but("libswscale", true);

  EXPECT_FALSE(load(folder.dir().string(), true));
  const std::string err = klaventa::library_load_error();
  EXPECT_TRUE(starts_with(err, "Load libraray libswscale.so.6 error: ")) << err;
  EXPECT_NE(err.find("No such file"), std::string::npos) << err;
  expect_nothing_bound();

  // The libraries opened before the failure are really gone from the process.
  for (const char* base : {"libavcodec", "libavformat", "libavutil"}) {
    const fs::path path = folder.dir() / klaventa::library_file_name(base, true);
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(h, nullptr) << base << " still loaded";
    if (h) dlclose(h);
  }
}

struct StubCase {
  const char* source;
  const char* missing;
};
void PrintTo(const StubCase& c, std::ostream* os) { *os << "missing " << c.missing; }

class BindingStub : public BindingTest, public ::testing::WithParamInterface<StubCase> {};

TEST_P(BindingStub, NamesTheMissingEntryPointAndFile) {
  LibraryFolder folder;
  folder.link_all_but("libswscale", true);
  ASSERT_TRUE(folder.build_stub("libswscale.so.6", GetParam().source));

  EXPECT_FALSE(load(folder.dir().string(), true));
  const std::string err = klaventa::library_load_error();
  const std::string missing = GetParam().missing;
  EXPECT_TRUE(starts_with(err, "Load function " + missing + "@libswscale.so.6 error: ")) << err;
  EXPECT_NE(err.find("undefined symbol: " + missing), std::string::npos) << err;
  expect_nothing_bound();
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, BindingStub,
    ::testing::Values(StubCase{"int klaventa_stub_marker;", "sws_scale"},
                      StubCase{"void sws_scale(void) {}\nvoid sws_getContext(void) {}", "sws_freeContext"}));

TEST_F(BindingTest, SecondCallAfterSuccessReturnsAtOnce) {
  // A folder without the files falls back to the system's search.
  ASSERT_TRUE(load("/nonexistent/Common Files", true)) << klaventa::library_load_error();
  auto* const open2 = ff::avcodec_open2;
  ASSERT_NE(open2, nullptr);

  LibraryFolder empty;  // a folder holding a broken library changes nothing now
  ASSERT_TRUE(empty.build_stub("libavcodec.so", ""));
  EXPECT_TRUE(load(empty.dir().string(), false));
  EXPECT_EQ(ff::avcodec_open2, open2);
  EXPECT_EQ(klaventa::library_load_error(), "");
}

TEST(LogLevels, OldScaleMapsBothWays) {
  struct Case {
    int old_level, av_level;
  };
  const Case cases[] = {{-1, AV_LOG_QUIET}, {0, AV_LOG_WARNING}, {1, AV_LOG_INFO}, {2, AV_LOG_DEBUG}, {3, AV_LOG_TRACE}};
  for (const Case& c : cases) {
    EXPECT_EQ(klaventa::av_level_from_old(c.old_level), c.av_level) << c.old_level;
    EXPECT_EQ(klaventa::old_level_from_av(c.av_level), c.old_level) << c.av_level;
  }
  // Levels between the old steps fall to the old step that shows them.
  EXPECT_EQ(klaventa::old_level_from_av(AV_LOG_ERROR), 0);
  EXPECT_EQ(klaventa::old_level_from_av(AV_LOG_FATAL), 0);
  EXPECT_EQ(klaventa::old_level_from_av(AV_LOG_VERBOSE), 2);
}

// ---- video hook plug-ins ----

struct Captured {
  std::string text;
  int level = 0;
};
Captured g_captured;

void capture_log(void*, int level, const char* fmt, va_list vl) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, fmt, vl);
  g_captured.text += buf;
  g_captured.level = level;
}

class HookTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(load("", true)) << klaventa::library_load_error(); }
  void SetUp() override {
    g_captured = {};
    ff::av_log_set_callback(capture_log);
  }
  void TearDown() override {
    ff::av_log_set_callback(ff::av_log_default_callback);
    klaventa::release_frame_hooks(&chain);
  }
  int add(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return klaventa::add_frame_hook(&chain, static_cast<int>(args.size()), argv.data());
  }
  static int configure_calls(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return -1;
    const int n = *static_cast<int*>(dlsym(h, "klaventa_configure_calls"));
    dlclose(h);
    return n;
  }
  static int chain_length(const klaventa::FrameHook* h) {
    int n = 0;
    for (; h; h = h->next) ++n;
    return n;
  }

  klaventa::FrameHook* chain = nullptr;
};

TEST_F(HookTest, PluginWithoutReleaseIsAccepted) {
  ASSERT_EQ(add({KLAVENTA_TEST_HOOK_NORELEASE}), klaventa::kHookOk);
  ASSERT_NE(chain, nullptr);
  EXPECT_NE(chain->process, nullptr);
  EXPECT_NE(chain->configure, nullptr);
  EXPECT_EQ(chain->release, nullptr);
  EXPECT_EQ(g_captured.text, "");
  klaventa::release_frame_hooks(&chain);
  EXPECT_EQ(chain, nullptr);
}

TEST_F(HookTest, SamePluginAddedTwiceIsLoadedOnceAndConfiguredTwice) {
  ASSERT_EQ(add({KLAVENTA_TEST_HOOK_NORELEASE}), klaventa::kHookOk);
  const int modules = klaventa::loaded_hook_module_count();
  const int calls = configure_calls(KLAVENTA_TEST_HOOK_NORELEASE);
  ASSERT_GE(calls, 1);

  ASSERT_EQ(add({KLAVENTA_TEST_HOOK_NORELEASE}), klaventa::kHookOk);
  EXPECT_EQ(klaventa::loaded_hook_module_count(), modules);
  EXPECT_EQ(configure_calls(KLAVENTA_TEST_HOOK_NORELEASE), calls + 1);
  EXPECT_EQ(chain_length(chain), 2);
}

TEST_F(HookTest, RefusedPluginsReportCodeAndMessage) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;  // empty: nothing logged
  };
  const std::string noprocess = KLAVENTA_TEST_HOOK_NOPROCESS;
  const std::string invert = KLAVENTA_TEST_HOOK;
  const Case cases[] = {
      {{}, klaventa::kHookNoArguments, ""},
      {{noprocess}, klaventa::kHookNoArguments, "Failed to find Process entrypoint in " + noprocess + "\n"},
      {{invert, "7"}, klaventa::kHookConfigureFailed, "Failed to Configure " + invert + "\n"},
  };
  for (const Case& c : cases) {
    g_captured = {};
    EXPECT_EQ(add(c.args), c.code) << c.message;
    EXPECT_EQ(g_captured.text, c.message);
    if (!c.message.empty()) {
      EXPECT_EQ(g_captured.level, klaventa::av_level_from_old(0));
    }
    EXPECT_EQ(chain, nullptr);
  }

  // A file that cannot be loaded: the loader's message and a line break.
  g_captured = {};
  const int modules = klaventa::loaded_hook_module_count();
  EXPECT_EQ(add({"/nonexistent/hook.so"}), klaventa::kHookLoadFailed);
  EXPECT_NE(g_captured.text.find("/nonexistent/hook.so"), std::string::npos) << g_captured.text;
  EXPECT_EQ(g_captured.text.back(), '\n');
  EXPECT_EQ(klaventa::loaded_hook_module_count(), modules);
  EXPECT_EQ(chain, nullptr);
}

TEST_F(HookTest, ExamplePluginInvertsItsBox) {
  ASSERT_EQ(add({KLAVENTA_TEST_HOOK, "1", "1", "2", "2"}), klaventa::kHookOk);
  ASSERT_EQ(add({KLAVENTA_TEST_HOOK}), klaventa::kHookOk);  // whole picture
  ASSERT_EQ(chain_length(chain), 2);
  ASSERT_NE(chain->release, nullptr);

  uint8_t luma[4 * 4];
  for (uint8_t& v : luma) v = 10;
  KlaventaPicture pic{};
  pic.data[0] = luma;
  pic.linesize[0] = 4;
  chain->process(chain->ctx, &pic, AV_PIX_FMT_YUV420P, 4, 4, 0);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 2;
      EXPECT_EQ(luma[y * 4 + x], inside ? 245 : 10) << x << "," << y;
    }
  }
  chain->next->process(chain->next->ctx, &pic, AV_PIX_FMT_YUV420P, 4, 4, 40000);
  EXPECT_EQ(luma[0], 245);
  EXPECT_EQ(luma[5], 10);
}

}  // namespace
