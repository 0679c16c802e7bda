#include "tests/faces/fake-file-info.h"

#if defined(KELO_FOR_NAUTILUS)
#include <nautilus-extension.h>
#define HOST(name) nautilus_##name
#define HOST_NAME "nautilus"
#define HostFileInfo NautilusFileInfo
#define HostFileInfoIface NautilusFileInfoInterface
#define HostInfoProvider NautilusInfoProvider
#define HostOperationHandle NautilusOperationHandle
#define HOST_TYPE_FILE_INFO NAUTILUS_TYPE_FILE_INFO
#define HOST_TYPE_INFO_PROVIDER NAUTILUS_TYPE_INFO_PROVIDER
#elif defined(KELO_FOR_NEMO)
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#define HOST(name) nemo_##name
#define HOST_NAME "nemo"
#define HostFileInfo NemoFileInfo
#define HostFileInfoIface NemoFileInfoInterface
#define HostInfoProvider NemoInfoProvider
#define HostOperationHandle NemoOperationHandle
#define HOST_TYPE_FILE_INFO NEMO_TYPE_FILE_INFO
#define HOST_TYPE_INFO_PROVIDER NEMO_TYPE_INFO_PROVIDER
#elif defined(KELO_FOR_CAJA)
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#define HOST(name) caja_##name
#define HOST_NAME "caja"
#define HostFileInfo CajaFileInfo
#define HostFileInfoIface CajaFileInfoIface
#define HostInfoProvider CajaInfoProvider
#define HostOperationHandle CajaOperationHandle
#define HOST_TYPE_FILE_INFO CAJA_TYPE_FILE_INFO
#define HOST_TYPE_INFO_PROVIDER CAJA_TYPE_INFO_PROVIDER
#else
#error "define KELO_FOR_NAUTILUS, KELO_FOR_NEMO or KELO_FOR_CAJA"
#endif

#define KELO_TYPE_FAKE_FILE_INFO (kelo_fake_file_info_get_type())
G_DECLARE_FINAL_TYPE(KeloFakeFileInfo, kelo_fake_file_info, KELO, FAKE_FILE_INFO, GObject)

struct _KeloFakeFileInfo {
  GObject parent_instance;
  char* uri;
  GString* emblems;
  guint invalidations;
};

static void kelo_fake_file_info_iface_init(HostFileInfoIface* iface);

G_DEFINE_TYPE_WITH_CODE(KeloFakeFileInfo, kelo_fake_file_info, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(HOST_TYPE_FILE_INFO, kelo_fake_file_info_iface_init))

static char* fake_get_uri(HostFileInfo* file) { return g_strdup(KELO_FAKE_FILE_INFO(file)->uri); }

static void fake_add_emblem(HostFileInfo* file, const char* emblem) {
  KeloFakeFileInfo* self = KELO_FAKE_FILE_INFO(file);
  if (self->emblems->len > 0) g_string_append_c(self->emblems, ',');
  g_string_append(self->emblems, emblem);
}

static void fake_invalidate(HostFileInfo* file) { KELO_FAKE_FILE_INFO(file)->invalidations++; }

static void kelo_fake_file_info_iface_init(HostFileInfoIface* iface) {
  iface->get_uri = fake_get_uri;
  iface->add_emblem = fake_add_emblem;
  iface->invalidate_extension_info = fake_invalidate;
}

static void kelo_fake_file_info_finalize(GObject* object) {
  KeloFakeFileInfo* self = KELO_FAKE_FILE_INFO(object);
  g_free(self->uri);
  g_string_free(self->emblems, TRUE);
  G_OBJECT_CLASS(kelo_fake_file_info_parent_class)->finalize(object);
}

static void kelo_fake_file_info_init(KeloFakeFileInfo* self) { self->emblems = g_string_new(""); }

static void kelo_fake_file_info_class_init(KeloFakeFileInfoClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = kelo_fake_file_info_finalize;
}

GObject* kelo_fake_file_info_new(const char* uri) {
  KeloFakeFileInfo* self = g_object_new(KELO_TYPE_FAKE_FILE_INFO, NULL);
  self->uri = g_strdup(uri);
  return G_OBJECT(self);
}

char* kelo_fake_file_info_emblems(GObject* file) {
  return g_strdup(KELO_FAKE_FILE_INFO(file)->emblems->str);
}

void kelo_fake_file_info_clear(GObject* file) {
  g_string_truncate(KELO_FAKE_FILE_INFO(file)->emblems, 0);
}

guint kelo_fake_file_info_invalidations(GObject* file) {
  return KELO_FAKE_FILE_INFO(file)->invalidations;
}

#define KELO_TYPE_FAKE_MODULE (kelo_fake_module_get_type())
G_DECLARE_FINAL_TYPE(KeloFakeModule, kelo_fake_module, KELO, FAKE_MODULE, GTypeModule)

struct _KeloFakeModule {
  GTypeModule parent_instance;
};

G_DEFINE_TYPE(KeloFakeModule, kelo_fake_module, G_TYPE_TYPE_MODULE)

static gboolean fake_module_load(GTypeModule* module) {
  (void)module;
  return TRUE;
}

static void fake_module_unload(GTypeModule* module) { (void)module; }

static void kelo_fake_module_init(KeloFakeModule* self) { (void)self; }

static void kelo_fake_module_class_init(KeloFakeModuleClass* klass) {
  G_TYPE_MODULE_CLASS(klass)->load = fake_module_load;
  G_TYPE_MODULE_CLASS(klass)->unload = fake_module_unload;
}

GTypeModule* kelo_fake_type_module_new(void) {
  GTypeModule* module = g_object_new(KELO_TYPE_FAKE_MODULE, NULL);
  g_type_module_use(module); /* as the host does before initialising: kept loaded */
  return module;
}

static void fake_update_complete(void) {}

int kelo_fake_update_file_info(GObject* provider, GObject* file) {
  HostOperationHandle* handle = NULL;
  GClosure* complete = g_cclosure_new(G_CALLBACK(fake_update_complete), NULL, NULL);
  g_closure_ref(complete);
  g_closure_sink(complete);
  const int result = (int)HOST(info_provider_update_file_info)(
      (HostInfoProvider*)provider, (HostFileInfo*)file, complete, &handle);
  g_closure_unref(complete);
  return result;
}

GType kelo_fake_info_provider_type(void) { return HOST_TYPE_INFO_PROVIDER; }

const char* kelo_fake_host_name(void) { return HOST_NAME; }
