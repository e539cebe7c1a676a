// The process-wide message and log facility. Every problem in the library and the
// application is reported through dmessage(); a per-class action word decides whether it is
// recorded, logged, printed on standard error, shown through the alert hook, or ends the
// process through the exit or abort hook.
#pragma once

#include <cstdint>
#include <cstdio>

enum DMessageClass : unsigned {
  DMCassert = 0,
  DMCmemory,
  DMCsystem,
  DMCparameter,
  DMCresource,
  DMCdata,
  DMCinput,
  DMCwarning,
  DMCinfo,
  DMCtrace,
  DMCnerr  // number of classes; never dispatched
};

// Action bits of a class's word.
enum : uint32_t {
  DMArecord = 1,
  DMAlog = 2,
  DMAstderr = 4,
  DMAalert = 8,
  DMAexit = 16,
  DMAabort = 32
};

constexpr int DMESSAGE_BUFSIZ = 1024;

extern uint32_t dmessage_class_flags[DMCnerr + 1];
extern const char* dmessage_class_name[DMCnerr + 1];
extern char dmessage_buf[DMESSAGE_BUFSIZ];
extern FILE* dmessage_logfp;
using DMalertHook = int (*)(const char* text);
using DMcallHook = uint32_t (*)(unsigned cls, const char* text, const char* file, int line);

extern void (*dmessage_abort)();
extern void (*dmessage_exit)(int status);
extern DMalertHook dmessage_alert;
extern DMcallHook dmessage_call;
extern const char* dmessage_record[DMCnerr];
extern char* dmessage_mine[DMCnerr];
extern const char* dmessage_file[DMCnerr];
extern int dmessage_line[DMCnerr];
extern uint32_t dmessage_class_done[DMCnerr];
extern unsigned dmessage_last_class;

// Whether the line of a class on standard error ends with the text of the message's system
// error (when it has one).
constexpr bool DMtellsSystemError(unsigned cls) {
  return cls == DMCsystem || cls == DMCresource;
}
// The system error of a message whose text tells its reason whole, or that has none.
constexpr int DMnoSystemError = 0;

// Reports text under class cls from source file and line, with errno as its system error;
// returns the actions carried out.
uint32_t dmessage(unsigned cls, const char* text, const char* file, int line);
// The same with the system error syserr (DMnoSystemError: none), whatever errno holds. The
// hooks see syserr as errno; errno is as it was afterwards.
uint32_t dmessage_errno(unsigned cls, int syserr, const char* text, const char* file, int line);

// Formats into dmessage_buf with snprintf (a long text is cut, never overflows) and
// reports it with errno as its system error. The arguments may point into dmessage_buf.
uint32_t dmessagef(unsigned cls, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// The same with the system error syserr.
uint32_t dmessagef_errno(unsigned cls, int syserr, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Reports a broken invariant as "assertion failed ! (<condition>)" and yields the
// condition's truth, so callers can go on safely when the abort hook returns.
#define DMASSERT(cond) DMASSERT_AS(cond, #cond)
// The same, naming the broken invariant with the given text where the code's own condition
// reads differently.
#define DMASSERT_AS(cond, text) \
  ((cond) ? true                \
          : (dmessagef(DMCassert, __FILE__, __LINE__, "assertion failed ! (%s)", text), false))

// Shorthand for a formatted report from the calling source line.
#define DMESSAGE(cls, ...) dmessagef((cls), __FILE__, __LINE__, __VA_ARGS__)
// The same with the given system error (DMnoSystemError: none).
#define DMESSAGE_ERRNO(cls, syserr, ...) \
  dmessagef_errno((cls), (syserr), __FILE__, __LINE__, __VA_ARGS__)
