/* The rule of the installer's install-folder check, apart from the Windows calls so that it is
   tested natively. Plain C, like the action that applies it.

   The service program runs as LocalSystem from the install folder, so the folder must be one
   that only administrators may change: a folder below Program Files inherits exactly that,
   while one elsewhere (C:\HALV) inherits "Authenticated Users: Modify" from the drive's root
   and any user could replace the program. And the service finds its driver by replacing the
   first "Vexmond" in its own path, so that name must not occur in the folder's path. */
#ifndef HALV_SETUP_INSTALL_FOLDER_H
#define HALV_SETUP_INSTALL_FOLDER_H

#include <stddef.h>
#include <wchar.h>

enum halv_folder_verdict {
    HALV_FOLDER_ACCEPTED = 0,
    HALV_FOLDER_NAMES_SERVICE = 1,         /* the path contains the service's name */
    HALV_FOLDER_OUTSIDE_PROGRAM_FILES = 2, /* not strictly below the Program Files folder */
};

static inline wchar_t halv_folder_lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? (wchar_t)(c - L'A' + L'a') : c;
}

/* Whether `text` contains `word`, ASCII letters compared without regard to case (as Windows
   compares paths). */
static inline int halv_folder_contains(const wchar_t* text, const wchar_t* word) {
    const size_t n = wcslen(word);
    if (n == 0) return 0;
    for (const wchar_t* p = text; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] && halv_folder_lower(p[i]) == halv_folder_lower(word[i])) ++i;
        if (i == n) return 1;
    }
    return 0;
}

/* The verdict on `folder` (the resolved INSTALLDIR) given `program_files` (the resolved 64-bit
   Program Files folder, with or without its closing backslash) and the service's name. The
   folder must lie strictly below Program Files, on a component boundary ("C:\Program Files2"
   is not below "C:\Program Files"), with no "." or ".." component that could lead out of it
   again and no forward slash the comparison would not see as a separator. */
static inline enum halv_folder_verdict halv_install_folder_verdict(const wchar_t* folder,
                                                                   const wchar_t* program_files,
                                                                   const wchar_t* service) {
    if (halv_folder_contains(folder, service)) return HALV_FOLDER_NAMES_SERVICE;
    size_t base = wcslen(program_files);
    while (base > 0 && program_files[base - 1] == L'\\') --base;
    if (base == 0 || wcslen(folder) <= base + 1) return HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
    for (size_t i = 0; i < base; ++i)
        if (halv_folder_lower(folder[i]) != halv_folder_lower(program_files[i]))
            return HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
    if (folder[base] != L'\\') return HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
    /* Each component after Program Files: not empty, not "." and not "..". */
    const wchar_t* p = folder + base + 1;
    int components = 0;
    while (*p) {
        const wchar_t* end = p;
        while (*end && *end != L'\\') {
            if (*end == L'/') return HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
            ++end;
        }
        const size_t n = (size_t)(end - p);
        if (n == 0 && *end) return HALV_FOLDER_OUTSIDE_PROGRAM_FILES; /* "\\" */
        if ((n == 1 && p[0] == L'.') || (n == 2 && p[0] == L'.' && p[1] == L'.'))
            return HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
        if (n > 0) ++components;
        p = *end ? end + 1 : end;
    }
    return components > 0 ? HALV_FOLDER_ACCEPTED : HALV_FOLDER_OUTSIDE_PROGRAM_FILES;
}

#endif
