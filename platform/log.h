/*
 * log.h - the log service.
 *
 * Every message of the library goes through Log_Entry with a level, the
 * reporting module's name, the source line and a printf-style format. By
 * default messages of levels 2 and 3 (failures) go to stderr; the
 * environment variable CFGTREE_LOG_LEVEL=N shows every level up to N
 * (0 shows nothing). A sink installed with Log_SetSink receives every
 * message of every level, already formatted, instead of stderr.
 */
#ifndef CFGTREE_LOG_H
#define CFGTREE_LOG_H

#include "cfgtree.h"

CFG_BEGIN_DECL

typedef void (*LogSink)(void *ctx, int level, const char *module, int line, const char *message);

CFG_API void Log_Entry(int level, const char *module, int line, const char *format, ...) CFG_NOEXCEPT
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
/** Routes every message to sink (NULL restores stderr). sink and ctx change
 *  together; a message logged while they change reaches the old pair or the
 *  new one, never a mix. The sink is often called while the calling thread
 *  holds the store's lock (which nests): it may call the library itself,
 *  but must not wait for another thread that may be calling the library
 *  (nor call the library while holding a lock of its own that such a
 *  thread's sink takes), or the two threads deadlock. */
CFG_API void Log_SetSink(LogSink sink, void *ctx) CFG_NOEXCEPT;

CFG_END_DECL

#endif
