/* The face of the two GTK 3 file managers, Nemo and Caja: one source, built once for each
 * (KELO_FOR_NEMO or KELO_FOR_CAJA selects the host's names). Both load every module of
 * their extension folder at start, call <host>_module_initialize and make one object of
 * each type from <host>_module_list_types, then ask update_file_info on their main thread
 * for each file they show. The answer comes at once from the core, whose reader-role
 * database access never waits longer than its short bound. A change reported by the
 * monitor makes the host ask again through <host>_file_info_invalidate_extension_info. */
#include "faces/common/emblem-face.h"

#if defined(KELO_FOR_NEMO)
#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#define KELO_HOST(name) nemo_##name
#define KeloHostFileInfo NemoFileInfo
#define KeloHostInfoProvider NemoInfoProvider
#define KeloHostInfoProviderIface NemoInfoProviderIface
#define KeloHostOperationHandle NemoOperationHandle
#define KeloHostOperationResult NemoOperationResult
#define KELO_HOST_TYPE_INFO_PROVIDER NEMO_TYPE_INFO_PROVIDER
#define KELO_HOST_FILE_INFO NEMO_FILE_INFO
#define KELO_HOST_OPERATION_COMPLETE NEMO_OPERATION_COMPLETE
#elif defined(KELO_FOR_CAJA)
#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#define KELO_HOST(name) caja_##name
#define KeloHostFileInfo CajaFileInfo
#define KeloHostInfoProvider CajaInfoProvider
#define KeloHostInfoProviderIface CajaInfoProviderIface
#define KeloHostOperationHandle CajaOperationHandle
#define KeloHostOperationResult CajaOperationResult
#define KELO_HOST_TYPE_INFO_PROVIDER CAJA_TYPE_INFO_PROVIDER
#define KELO_HOST_FILE_INFO CAJA_FILE_INFO
#define KELO_HOST_OPERATION_COMPLETE CAJA_OPERATION_COMPLETE
#else
#error "define KELO_FOR_NEMO or KELO_FOR_CAJA"
#endif

#define KELO_TYPE_GTK3_PROVIDER (kelo_gtk3_provider_get_type())
G_DECLARE_FINAL_TYPE(KeloGtk3Provider, kelo_gtk3_provider, KELO, GTK3_PROVIDER, GObject)

struct _KeloGtk3Provider {
  GObject parent_instance;
};

static void kelo_gtk3_provider_info_init(KeloHostInfoProviderIface* iface);

G_DEFINE_DYNAMIC_TYPE_EXTENDED(KeloGtk3Provider, kelo_gtk3_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(KELO_HOST_TYPE_INFO_PROVIDER,
                                                             kelo_gtk3_provider_info_init))

static KeloHostOperationResult kelo_gtk3_update_file_info(KeloHostInfoProvider* provider,
                                                          KeloHostFileInfo* file,
                                                          GClosure* update_complete,
                                                          KeloHostOperationHandle** handle) {
  (void)provider;
  (void)update_complete;
  (void)handle;
  g_autofree char* uri = KELO_HOST(file_info_get_uri)(file);
  const char* emblem = kelo_emblem_face_answer(G_OBJECT(file), uri);
  if (emblem != NULL) KELO_HOST(file_info_add_emblem)(file, emblem);
  return KELO_HOST_OPERATION_COMPLETE;
}

static void kelo_gtk3_invalidate(GObject* item) {
  KELO_HOST(file_info_invalidate_extension_info)(KELO_HOST_FILE_INFO(item));
}

static void kelo_gtk3_provider_info_init(KeloHostInfoProviderIface* iface) {
  iface->update_file_info = kelo_gtk3_update_file_info;
}

static void kelo_gtk3_provider_init(KeloGtk3Provider* self) { (void)self; }

static void kelo_gtk3_provider_class_init(KeloGtk3ProviderClass* klass) { (void)klass; }

static void kelo_gtk3_provider_class_finalize(KeloGtk3ProviderClass* klass) { (void)klass; }

static GType kelo_types[1];

G_MODULE_EXPORT void KELO_HOST(module_initialize)(GTypeModule* module) {
  kelo_gtk3_provider_register_type(module);
  kelo_types[0] = KELO_TYPE_GTK3_PROVIDER;
  kelo_emblem_face_start(kelo_gtk3_invalidate);
}

G_MODULE_EXPORT void KELO_HOST(module_shutdown)(void) { kelo_emblem_face_stop(); }

/* How many file objects the face remembers; for the tests and measurements. */
G_MODULE_EXPORT guint kelo_face_tracked_items(void) { return kelo_emblem_face_tracked_count(); }

G_MODULE_EXPORT void KELO_HOST(module_list_types)(const GType** types, int* num_types) {
  *types = kelo_types;
  *num_types = G_N_ELEMENTS(kelo_types);
}
