// Loads the Dolphin face exactly as Dolphin does (KPluginMetaData::findPlugins of
// "kf5/overlayicon" in Qt's plug-in path, QPluginLoader, a cast of the root object to
// KOverlayIconPlugin), then asks it about the sample home and has another process change a
// state: overlaysChanged must name that item, and the item's next answer be the new badge.
#include <gtest/gtest.h>

#include <KOverlayIconPlugin>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QUrl>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/demo-home.h"
#include "faces/dolphin/load-as-dolphin.h"
#include "support/temp-dir.h"

namespace {

class DolphinPluginTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new kelo_test::TempDir;
    std::vector<kelo::DemoSample> samples;
    std::string error;
    ASSERT_EQ(kelo::BuildDemoHome(home_->path(), &samples, &error), 0) << error;
    setenv("HOME", home_->path().c_str(), 1);
    qputenv("QT_PLUGIN_PATH", KELO_DOLPHIN_PLUGIN_ROOT);
    static int argc = 1;
    static char name[] = "dolphin_plugin_test";
    static char* argv[] = {name, nullptr};
    app_ = new QCoreApplication(argc, argv);
    plugin_ = kelo_test::LoadAsDolphinDoes();
    ASSERT_NE(plugin_, nullptr) << "not found in " KELO_DOLPHIN_PLUGIN_ROOT;
  }

  static QUrl Url(const std::string& relative) {
    return QUrl::fromLocalFile(QString::fromStdString((*home_) / relative));
  }

  static kelo_test::TempDir* home_;
  static QCoreApplication* app_;
  static KOverlayIconPlugin* plugin_;
};

kelo_test::TempDir* DolphinPluginTest::home_ = nullptr;
QCoreApplication* DolphinPluginTest::app_ = nullptr;
KOverlayIconPlugin* DolphinPluginTest::plugin_ = nullptr;

// Each badge as its overlay, no badge as none; names that a URL escapes. Which item gets which
// badge is the core's business (badge-resolver_test.cc).
TEST_F(DolphinPluginTest, AnswersEachItemFromTheCore) {
  const struct {
    const char* path;  // in the sample home
    const char* overlay;
  } cases[] = {
      {"Sync/Documents/Projects", "kelo-syncing"},
      {"Sync/Documents/Shortcut.alias", "kelo-unsupported"},
      {"Sync/Photos/\xE6\xB5\xB7\xE8\xBE\xBA\xE3\x81\xAE\xE5\xA4\x95\xE6\x97\xA5.jpg",
       "kelo-synced"},
      {"Sync/Documents/draft notes.txt", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const QStringList overlays = plugin_->getOverlays(Url(c.path));
    EXPECT_EQ(overlays.join(','), QString::fromUtf8(c.overlay));
  }
  for (const char* url : {"trash:/Invoices", "sftp://host/Sync/Documents/Invoices"}) {
    SCOPED_TRACE(url);
    EXPECT_TRUE(plugin_->getOverlays(QUrl(QString::fromUtf8(url))).isEmpty());
  }
}

TEST_F(DolphinPluginTest, AChangeByAnotherProcessIsAnnouncedForThatItemOnly) {
  const std::string changed = "Sync/Photos/Vacation/beach.jpg";
  ASSERT_EQ(plugin_->getOverlays(Url(changed)), QStringList{"kelo-synced"});
  ASSERT_EQ(plugin_->getOverlays(Url("Sync/Documents/Invoices")), QStringList{"kelo-synced"});
  QSignalSpy announced(plugin_, &KOverlayIconPlugin::overlaysChanged);
  const std::string command = std::string(KELO_OVERLAY_BIN) + " set-state --home '" +
                              home_->path() + "' '" + ((*home_) / changed) + "' 3";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  ASSERT_TRUE(announced.wait(2000));
  announced.wait(200);  // anything else it would announce for the same change
  ASSERT_EQ(announced.count(), 1);
  EXPECT_EQ(announced[0][0].toUrl(), Url(changed));
  EXPECT_EQ(announced[0][1].toStringList(), QStringList{"kelo-unsupported"});
  // Dolphin asks again upon the signal.
  EXPECT_EQ(plugin_->getOverlays(Url(changed)), QStringList{"kelo-unsupported"});
}

}  // namespace
