/* The rules of the installer's service custom action, apart from the Windows calls so that
   they are tested natively: what the action is told, and the command line it registers.
   Plain C, so that the action needs no language runtime beyond the system's. */
#ifndef HALV_SETUP_SERVICE_COMMAND_H
#define HALV_SETUP_SERVICE_COMMAND_H

#include <stddef.h>
#include <wchar.h>

/* What the deferred action receives in CustomActionData: "<service name>|<program path>".
   Neither part may be empty; '|' cannot occur in a service name or a Windows path, so a
   second one is refused. Returns the position of the bar, or 0 when the data is malformed
   (a bar at position 0 is malformed too). */
static inline size_t halv_service_request_bar(const wchar_t* data, size_t length) {
    size_t bar = 0, bars = 0;
    for (size_t i = 0; i < length; ++i)
        if (data[i] == L'|') {
            if (bars++ == 0) bar = i;
        }
    if (bars != 1 || bar == 0 || bar + 1 == length) return 0;
    return bar;
}

/* The service's command line as the service program's own install writes it: the program's
   path, in double quotes when it contains a blank (else the service manager may start
   "C:\Program.exe" for "C:\Program Files\..."). A path that is already quoted stays as it is.
   Writes it NUL-terminated into `out` and returns its length; 0 when it does not fit. */
static inline size_t halv_service_command_line(const wchar_t* program, size_t length, wchar_t* out,
                                               size_t capacity) {
    int blank = 0;
    for (size_t i = 0; i < length; ++i)
        if (program[i] == L' ') blank = 1;
    const int quoted = length >= 2 && program[0] == L'"' && program[length - 1] == L'"';
    const int add = blank && !quoted;
    const size_t total = length + (add ? 2 : 0);
    if (total + 1 > capacity) return 0;
    size_t at = 0;
    if (add) out[at++] = L'"';
    for (size_t i = 0; i < length; ++i) out[at++] = program[i];
    if (add) out[at++] = L'"';
    out[at] = L'\0';
    return total;
}

/* The service's dependencies as ChangeServiceConfig takes them, from what its registry key
   holds: DependOnService's names as they are, then DependOnGroup's names each after '+', one
   NUL after each and a second at the end. Either list (a NUL-terminated run of NUL-terminated
   names, or NULL) may be empty. The action passes them on unchanged because Wine's service
   manager, given no dependencies, drops those the service had. Returns the characters written
   including the final NUL; 0 when they do not fit. */
static inline size_t halv_service_dependencies(const wchar_t* services, const wchar_t* groups,
                                               wchar_t* out, size_t capacity) {
    size_t at = 0;
    for (int list = 0; list < 2; ++list) {
        const wchar_t* p = list == 0 ? services : groups;
        while (p && *p) {
            const size_t n = wcslen(p);
            if (at + (list ? 1 : 0) + n + 2 > capacity) return 0;
            if (list) out[at++] = L'+';
            for (size_t i = 0; i <= n; ++i) out[at++] = p[i];
            p += n + 1;
        }
    }
    if (at + 1 > capacity) return 0;
    out[at++] = L'\0';
    if (at == 1) { /* no dependency at all: the double NUL of an empty list */
        if (capacity < 2) return 0;
        out[at++] = L'\0';
    }
    return at;
}

#endif
