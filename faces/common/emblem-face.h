/* The half of the GTK file-manager faces (Nautilus, Nemo, Caja) that is the same for all
 * of them: from an item's URI to the name of its emblem, through the badge resolution core
 * in the reader role, and from the change monitor's news to the host's "ask again" call.
 *
 * The faces themselves are small GObject modules in C that declare the host's info provider
 * and hand every question to this unit; they hold no badge rule of their own.
 *
 *   kelo_emblem_face_start(invalidate_fn);   // in <host>_module_initialize
 *   const char* emblem = kelo_emblem_face_answer(G_OBJECT(file_info), uri);
 *   if (emblem != NULL) <host>_file_info_add_emblem(file_info, emblem);
 *
 * An item that was asked about is remembered (weakly: it is forgotten when the host drops
 * the object) and registered with the change monitor under its path; when the monitor
 * reports that the badge of a path changed, `invalidate` is called with each remembered
 * object of that path, and the host asks again.
 *
 * Thread safety: every function is called from the host's main thread, whose default main
 * context also runs the monitor's sources. */
#ifndef KELO_FACES_COMMON_EMBLEM_FACE_H_
#define KELO_FACES_COMMON_EMBLEM_FACE_H_

#include <glib-object.h>

G_BEGIN_DECLS

/* Emblem names, installed as icons in the hicolor theme's emblems context. */
#define KELO_EMBLEM_SYNCED "kelo-synced"
#define KELO_EMBLEM_SYNCING "kelo-syncing"
#define KELO_EMBLEM_UNSUPPORTED "kelo-unsupported"

/* Tells the host that what it was told about `item` is out of date. */
typedef void (*KeloInvalidateFunc)(GObject* item);

/* Chooses the reader role for the process's database access and starts watching the
 * client's databases on the default main context. Idempotent; `invalidate` of the first
 * call is kept. */
void kelo_emblem_face_start(KeloInvalidateFunc invalidate);

/* Removes the main-context sources and forgets every item. */
void kelo_emblem_face_stop(void);

/* The emblem name for the item at `uri` (static text), or NULL for none: a URI that names
 * no local file, a path outside every synchronised folder, no state, or any failure.
 * Remembers `item` under the path for change notices (local files only). */
const char* kelo_emblem_face_answer(GObject* item, const char* uri);

/* How many host objects are remembered; for tests and measurements. */
guint kelo_emblem_face_tracked_count(void);

G_END_DECLS

#endif /* KELO_FACES_COMMON_EMBLEM_FACE_H_ */
