// Dolphin's own road to its overlay plug-ins (KPluginMetaData::findPlugins of
// "kf5/overlayicon" in Qt's plug-in path, QPluginLoader, a cast of the root object), shared by
// the plug-in's test and its benchmark.
#ifndef KELO_TESTS_FACES_DOLPHIN_LOAD_AS_DOLPHIN_H_
#define KELO_TESTS_FACES_DOLPHIN_LOAD_AS_DOLPHIN_H_

#include <KOverlayIconPlugin>
#include <KPluginMetaData>
#include <QPluginLoader>

namespace kelo_test {

// The plug-in of this build, or nullptr when Dolphin would not find or load it.
inline KOverlayIconPlugin* LoadAsDolphinDoes() {
  for (const KPluginMetaData& data :
       KPluginMetaData::findPlugins(QStringLiteral("kf5/overlayicon"))) {
    if (!data.fileName().endsWith(QStringLiteral("/kelooverlay.so"))) continue;
    QPluginLoader loader(data.fileName());
    return qobject_cast<KOverlayIconPlugin*>(loader.instance());
  }
  return nullptr;
}

}  // namespace kelo_test

#endif  // KELO_TESTS_FACES_DOLPHIN_LOAD_AS_DOLPHIN_H_
