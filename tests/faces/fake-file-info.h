/* A stand-in for a file manager's file object and module loader, for the loader tests of
 * the GTK faces. Built once per host (KELO_FOR_NAUTILUS, KELO_FOR_NEMO or KELO_FOR_CAJA):
 * the object implements that host's file-info interface, recording the emblems added and
 * the invalidations asked for, as the host's own file object would act on them. */
#ifndef KELO_TESTS_FACES_FAKE_FILE_INFO_H_
#define KELO_TESTS_FACES_FAKE_FILE_INFO_H_

#include <glib-object.h>

G_BEGIN_DECLS

/* A new file object for `uri` (one reference). */
GObject* kelo_fake_file_info_new(const char* uri);

/* The emblems added since the last clear, in order, joined by ",". Caller frees. */
char* kelo_fake_file_info_emblems(GObject* file);
void kelo_fake_file_info_clear(GObject* file);

/* How often invalidate_extension_info was called on the object. */
guint kelo_fake_file_info_invalidations(GObject* file);

/* A type module that loads nothing, for <host>_module_initialize. */
GTypeModule* kelo_fake_type_module_new(void);

/* Asks `provider` for `file` through the host library's info-provider call; returns the
 * host's operation result (0 complete, 1 failed, 2 in progress). */
int kelo_fake_update_file_info(GObject* provider, GObject* file);

/* The host's info-provider interface type. */
GType kelo_fake_info_provider_type(void);

/* The prefix of the host's module entry points: "nautilus", "nemo" or "caja". */
const char* kelo_fake_host_name(void);

G_END_DECLS

#endif /* KELO_TESTS_FACES_FAKE_FILE_INFO_H_ */
