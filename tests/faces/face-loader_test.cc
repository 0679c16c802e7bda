// Loads a GTK file manager's face as its host does (dlopen, <host>_module_initialize,
// <host>_module_list_types, one provider object) and drives update_file_info through the
// host library's call on file objects that act as the host's: the emblems added on the
// sample home, and the invalidation that a change by another process brings. Built once
// per host (nautilus, nemo, caja).
#include <dlfcn.h>
#include <glib-object.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#include "tests/faces/fake-file-info.h"
#include "tests/support/temp-dir.h"

namespace {

using InitializeFn = void (*)(GTypeModule*);
using ListTypesFn = void (*)(const GType**, int*);
using TrackedFn = guint (*)();

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Object = std::unique_ptr<GObject, GObjectUnref>;

std::string Emblems(GObject* file) {
  char* text = kelo_fake_file_info_emblems(file);
  std::string emblems(text);
  g_free(text);
  return emblems;
}

std::string UriOf(const std::string& path) {
  char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  std::string text(uri != nullptr ? uri : "");
  g_free(uri);
  return text;
}

// The module is loaded once per process, as a host does; its provider lives as long.
class KELO_FACE_SUITE : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new kelo_test::TempDir;
    std::vector<kelo::DemoSample> samples;
    std::string error;
    ASSERT_EQ(kelo::BuildDemoHome(home_->path(), &samples, &error), 0) << error;
    setenv("HOME", home_->path().c_str(), 1);

    handle_ = dlopen(KELO_FACE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    const std::string host = kelo_fake_host_name();
    auto initialize =
        reinterpret_cast<InitializeFn>(dlsym(handle_, (host + "_module_initialize").c_str()));
    auto list_types =
        reinterpret_cast<ListTypesFn>(dlsym(handle_, (host + "_module_list_types").c_str()));
    ASSERT_NE(initialize, nullptr);
    ASSERT_NE(list_types, nullptr);
    ASSERT_NE(dlsym(handle_, (host + "_module_shutdown").c_str()), nullptr);
    tracked_ = reinterpret_cast<TrackedFn>(dlsym(handle_, "kelo_face_tracked_items"));
    ASSERT_NE(tracked_, nullptr);

    initialize(kelo_fake_type_module_new());
    const GType* types = nullptr;
    int count = 0;
    list_types(&types, &count);
    ASSERT_EQ(count, 1);
    ASSERT_TRUE(g_type_is_a(types[0], kelo_fake_info_provider_type()));
    provider_ = G_OBJECT(g_object_new(types[0], nullptr));
  }

  static std::string Path(const std::string& relative) { return (*home_) / relative; }

  // The emblems the face adds when asked about `uri` on a fresh object.
  static std::string Ask(const std::string& uri) {
    Object file(kelo_fake_file_info_new(uri.c_str()));
    EXPECT_EQ(kelo_fake_update_file_info(provider_, file.get()), 0) << "operation complete";
    return Emblems(file.get());
  }

  static kelo_test::TempDir* home_;
  static void* handle_;
  static GObject* provider_;
  static TrackedFn tracked_;
};

kelo_test::TempDir* KELO_FACE_SUITE::home_ = nullptr;
void* KELO_FACE_SUITE::handle_ = nullptr;
GObject* KELO_FACE_SUITE::provider_ = nullptr;
TrackedFn KELO_FACE_SUITE::tracked_ = nullptr;

// Each badge as its emblem, no badge as none; names that a URI escapes. Which item gets which
// badge is the core's business (badge-resolver_test.cc).
TEST_F(KELO_FACE_SUITE, AddsTheEmblemOfEachItemAtOnce) {
  const struct {
    const char* path;  // in the sample home
    const char* emblems;
  } cases[] = {
      {"Sync/Documents/Invoices/2024-03 Rechnung M\xC3\xBCller.pdf", "kelo-synced"},
      {"Sync/Documents/Projects", "kelo-syncing"},
      {"Sync/Documents/Shortcut.alias", "kelo-unsupported"},
      {"Sync/Documents/draft notes.txt", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Ask(UriOf(Path(c.path))), c.emblems);
  }
}

TEST_F(KELO_FACE_SUITE, NoEmblemForWhatIsNoLocalFile) {
  // The host's own URIs for places with no local path, and a local path spelt as an
  // unescaped URI whose percent sign does not decode.
  const std::string synced = Path("Sync/Documents/Invoices");
  const std::string uris[] = {"trash:///Invoices", "sftp://host" + synced,
                              "file://" + synced + "%zz", ""};
  for (const std::string& uri : uris) {
    SCOPED_TRACE(uri);
    EXPECT_EQ(Ask(uri), "");
  }
}

TEST_F(KELO_FACE_SUITE, RemembersEachObjectOnceAndForgetsItWhenTheHostDropsIt) {
  const guint before = tracked_();
  Object a(kelo_fake_file_info_new(UriOf(Path("Sync/Photos/Vacation")).c_str()));
  Object b(kelo_fake_file_info_new(UriOf(Path("Sync/Photos/Vacation")).c_str()));
  Object remote(kelo_fake_file_info_new("sftp://host/Sync/Photos/Vacation"));
  for (GObject* file : {a.get(), a.get(), b.get(), remote.get()}) {
    kelo_fake_update_file_info(provider_, file);
  }
  EXPECT_EQ(tracked_(), before + 2);
  b.reset();
  EXPECT_EQ(tracked_(), before + 1);
  a.reset();
  EXPECT_EQ(tracked_(), before);
}

TEST_F(KELO_FACE_SUITE, AChangeByAnotherProcessMakesTheHostAskAgainAboutThatItemOnly) {
  const std::string changed = Path("Sync/Photos/Vacation/beach.jpg");
  Object shown(kelo_fake_file_info_new(UriOf(changed).c_str()));
  Object dropped(kelo_fake_file_info_new(UriOf(changed).c_str()));
  Object other_session(kelo_fake_file_info_new(UriOf(Path("Sync/Documents/Invoices")).c_str()));
  for (GObject* file : {shown.get(), dropped.get(), other_session.get()}) {
    ASSERT_EQ(kelo_fake_update_file_info(provider_, file), 0);
  }
  ASSERT_EQ(Emblems(shown.get()), "kelo-synced");
  dropped.reset();  // let go by the host before the change: never touched again

  const std::string command = std::string(KELO_OVERLAY_BIN) + " set-state --home '" +
                              home_->path() + "' '" + changed + "' 3";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  // The default main context, where the face watches the monitor, for up to 2 s.
  for (int ms = 0; ms < 2000 && kelo_fake_file_info_invalidations(shown.get()) == 0; ++ms) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  EXPECT_EQ(kelo_fake_file_info_invalidations(shown.get()), 1u);
  EXPECT_EQ(kelo_fake_file_info_invalidations(other_session.get()), 0u);

  kelo_fake_file_info_clear(shown.get());
  ASSERT_EQ(kelo_fake_update_file_info(provider_, shown.get()), 0);
  EXPECT_EQ(Emblems(shown.get()), "kelo-unsupported");
}

}  // namespace
