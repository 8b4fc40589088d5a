/*
 * log.h - the log service.
 *
 * Every message of the library goes through Log_Entry with a level, the
 * reporting module's name, the source line and a printf-style format. By
 * default messages of levels 2 and 3 (failures) go to stderr; the
 * environment variable CFGTREE_LOG_LEVEL=N shows every level up to N
 * (0 shows nothing; read once, at the first message not handed to a
 * sink). A sink installed with Log_SetSink receives every
 * message of every level, already formatted, instead of stderr.
 */
#ifndef CFGTREE_LOG_H
#define CFGTREE_LOG_H

#include "cfgtree.h"

CFG_BEGIN_DECL

CFG_API void Log_Entry(int level, const char *module, int line, const char *format, ...) CFG_NOEXCEPT
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
/* LogSink and Log_SetSink are declared in cfgtree.h. */
/** Nonzero while the calling thread runs the log sink. */
int Log_InSink(void) CFG_NOEXCEPT;

CFG_END_DECL

#endif
