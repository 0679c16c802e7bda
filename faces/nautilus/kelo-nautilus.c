/* The Nautilus face: an info provider that adds the item's badge as an emblem.
 *
 * Nautilus loads every module of its extension folder at start, calls
 * nautilus_module_initialize, and makes one object of each type that
 * nautilus_module_list_types gives. It asks update_file_info on its main thread for every
 * file it shows; the answer comes at once from the core, whose database access in the
 * reader role never waits longer than its short bound, so no asynchronous completion is
 * needed. A change reported by the monitor makes Nautilus ask again through
 * nautilus_file_info_invalidate_extension_info. */
#include <nautilus-extension.h>

#include "faces/common/emblem-face.h"

#define KELO_TYPE_NAUTILUS_PROVIDER (kelo_nautilus_provider_get_type())
G_DECLARE_FINAL_TYPE(KeloNautilusProvider, kelo_nautilus_provider, KELO, NAUTILUS_PROVIDER, GObject)

struct _KeloNautilusProvider {
  GObject parent_instance;
};

static void kelo_nautilus_provider_info_init(NautilusInfoProviderInterface* iface);

G_DEFINE_DYNAMIC_TYPE_EXTENDED(KeloNautilusProvider, kelo_nautilus_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_INFO_PROVIDER,
                                                             kelo_nautilus_provider_info_init))

static NautilusOperationResult kelo_nautilus_update_file_info(NautilusInfoProvider* provider,
                                                              NautilusFileInfo* file,
                                                              GClosure* update_complete,
                                                              NautilusOperationHandle** handle) {
  (void)provider;
  (void)update_complete;
  (void)handle;
  g_autofree char* uri = nautilus_file_info_get_uri(file);
  const char* emblem = kelo_emblem_face_answer(G_OBJECT(file), uri);
  if (emblem != NULL) nautilus_file_info_add_emblem(file, emblem);
  return NAUTILUS_OPERATION_COMPLETE;
}

static void kelo_nautilus_invalidate(GObject* item) {
  nautilus_file_info_invalidate_extension_info(NAUTILUS_FILE_INFO(item));
}

static void kelo_nautilus_provider_info_init(NautilusInfoProviderInterface* iface) {
  iface->update_file_info = kelo_nautilus_update_file_info;
}

static void kelo_nautilus_provider_init(KeloNautilusProvider* self) { (void)self; }

static void kelo_nautilus_provider_class_init(KeloNautilusProviderClass* klass) { (void)klass; }

static void kelo_nautilus_provider_class_finalize(KeloNautilusProviderClass* klass) { (void)klass; }

static GType kelo_types[1];

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
  kelo_nautilus_provider_register_type(module);
  kelo_types[0] = KELO_TYPE_NAUTILUS_PROVIDER;
  kelo_emblem_face_start(kelo_nautilus_invalidate);
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) { kelo_emblem_face_stop(); }

/* How many file objects the face remembers; for the tests and measurements. */
G_MODULE_EXPORT guint kelo_face_tracked_items(void) { return kelo_emblem_face_tracked_count(); }

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* num_types) {
  *types = kelo_types;
  *num_types = G_N_ELEMENTS(kelo_types);
}
