// Internals of the file status store, exposed for its own tests only. Other code uses
// file-status-db.h.
//
// The SQL template expander turns fixed SQL text with typed placeholders into one
// statement, quoting string values for SQL string literals and escaping LIKE wildcards:
//
//   char* sql = KELODBEscapeStringEX3(
//       "select * from fstatinfo where path like '@KELO:LVAR%' and syncStatus=@KELO:INT", p, 2);
//   ...
//   free(sql);
//
// Placeholders (the variadic argument each consumes, and its expansion):
//   @KELO:VAR    const char*  single quotes doubled
//   @KELO:LVAR   const char*  single quotes doubled, then "\" put before "\", "%" and "_";
//                             " escape '\'" follows the next single quote of the template
//                             (never the template's first one)
//   @KELO:INT    int          "%d"
//   @KELO:LLINT  long long    "%lld"
//   @KELO:NEVAR  const char*  unchanged
// A null string counts as empty. Text that matches no name is copied and consumes nothing.
// Only the template's own characters are scanned; expanded values never are.
#ifndef KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_INTERNAL_H_
#define KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_INTERNAL_H_

// The templates of the two path lookups, as getFileSyncStat and isAnySubFileDirSyncing run
// them: the entry by its path (equality, ASCII case ignored), and up to two syncing entries
// below a folder prefix (LIKE, the prefix's wildcards escaped, then any text).
extern const char kSelectByPath[];
extern const char kSelectSyncingBelow[];

// The placeholder names in the order they are tried; an entry's position is its kind.
extern const char* const grgKeloParamList[5];

// Expands sqlTemplate with one value per placeholder occurrence. The result is allocated
// with malloc (release it with free); null for a null template, when memory runs out, or
// when the expansion would pass 2^31 - 1 bytes. Thread-safe; it makes no SQLite call.
char* KELODBEscapeStringEX3(const char* sqlTemplate, ...);

// Grows *buffer to 2 * requiredSize bytes. With preserve == 1 its first
// min(currentSize, new size) bytes are kept; otherwise its content is undefined afterwards.
// Returns the new size; 0 when the allocation failed (*buffer is then still the old,
// valid block); -1 for a null buffer, a size below 1, or a doubled size past INT_MAX.
int ExpendBufSize(char** buffer, int currentSize, int requiredSize, int preserve);

#endif  // KELO_DB_FILE_STATUS_DB_FILE_STATUS_DB_INTERNAL_H_
