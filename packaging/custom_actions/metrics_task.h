/* The rules of the installer's metrics schedule, apart from the Windows calls so that they are
   tested natively: the arguments that halvctl gets and the task definition that the Task
   Scheduler registers. Plain C, like the actions themselves. */
#ifndef HALV_SETUP_METRICS_TASK_H
#define HALV_SETUP_METRICS_TASK_H

#include <stddef.h>
#include <wchar.h>

/* Where the task lives in the Task Scheduler's tree, and its name there. */
#define HALV_METRICS_TASK_FOLDER L"\\Torvale"
#define HALV_METRICS_TASK_NAME L"HALV metrics"

/* Appends `text` (n characters) at out[*at]; false when it does not fit with a NUL after it. */
static inline int halv_append(wchar_t* out, size_t capacity, size_t* at, const wchar_t* text,
                              size_t n) {
    if (*at + n + 1 > capacity) return 0;
    for (size_t i = 0; i < n; ++i) out[(*at)++] = text[i];
    out[*at] = L'\0';
    return 1;
}

/* halvctl's arguments for the folder `dir`: metrics --textfile "<dir>". The folder goes in
   double quotes, so that blanks and '&' in it are plain characters; a folder that ends in
   backslashes has them doubled, else the last one would escape the closing quote by the rules
   by which a program splits its command line (C:\Metrics\ would read as C:\Metrics"). A quote
   cannot occur in a Windows path and could not be carried through: such a folder, an empty one
   or one with a control character is refused. Returns the length written, 0 when refused or
   too long. */
static inline size_t halv_metrics_arguments(const wchar_t* dir, wchar_t* out, size_t capacity) {
    static const wchar_t head[] = L"metrics --textfile \"";
    const size_t n = wcslen(dir);
    if (n == 0) return 0;
    for (size_t i = 0; i < n; ++i)
        if (dir[i] == L'"' || dir[i] < 0x20) return 0;
    size_t trailing = 0;
    while (trailing < n && dir[n - 1 - trailing] == L'\\') ++trailing;
    size_t at = 0;
    if (!halv_append(out, capacity, &at, head, sizeof head / sizeof head[0] - 1) ||
        !halv_append(out, capacity, &at, dir, n))
        return 0;
    for (size_t i = 0; i < trailing; ++i)
        if (!halv_append(out, capacity, &at, L"\\", 1)) return 0;
    if (!halv_append(out, capacity, &at, L"\"", 1)) return 0;
    return at;
}

/* `text` as XML character data or attribute text. */
static inline int halv_append_xml_text(wchar_t* out, size_t capacity, size_t* at,
                                       const wchar_t* text) {
    for (const wchar_t* p = text; *p; ++p) {
        const wchar_t* entity = *p == L'&'    ? L"&amp;"
                                : *p == L'<'  ? L"&lt;"
                                : *p == L'>'  ? L"&gt;"
                                : *p == L'"'  ? L"&quot;"
                                : *p == L'\'' ? L"&apos;"
                                              : NULL;
        if (!(entity ? halv_append(out, capacity, at, entity, wcslen(entity))
                     : halv_append(out, capacity, at, p, 1)))
            return 0;
    }
    return 1;
}

/* The task's definition: `program` (halvctl.exe's full path) with halv_metrics_arguments for
   `dir`, at every start-up and every five minutes from the moment it is registered, as SYSTEM
   (S-1-5-18) with its highest rights, never two at once, ended after four minutes, run when a
   start was missed. No Duration in the repetition: it repeats without end. Returns the length
   written, 0 when the folder is refused or the text does not fit. */
static inline size_t halv_metrics_task_xml(const wchar_t* program, const wchar_t* dir, wchar_t* out,
                                           size_t capacity) {
    wchar_t arguments[1024];
    if (!halv_metrics_arguments(dir, arguments, sizeof arguments / sizeof arguments[0])) return 0;
    static const wchar_t* const parts[] = {
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
        L"<Task version=\"1.2\" "
        L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
        L"  <RegistrationInfo>\r\n"
        L"    <Author>Torvale Technology Inc.</Author>\r\n"
        L"    <Description>Writes the HALV metrics for the node exporter's textfile "
        L"collector.</Description>\r\n"
        L"  </RegistrationInfo>\r\n"
        L"  <Triggers>\r\n"
        L"    <BootTrigger>\r\n"
        L"      <Enabled>true</Enabled>\r\n"
        L"    </BootTrigger>\r\n"
        L"    <TimeTrigger>\r\n"
        L"      <Repetition>\r\n"
        L"        <Interval>PT5M</Interval>\r\n"
        L"        <StopAtDurationEnd>false</StopAtDurationEnd>\r\n"
        L"      </Repetition>\r\n"
        L"      <StartBoundary>2000-01-01T00:00:00</StartBoundary>\r\n"
        L"      <Enabled>true</Enabled>\r\n"
        L"    </TimeTrigger>\r\n"
        L"  </Triggers>\r\n"
        L"  <Principals>\r\n"
        L"    <Principal id=\"System\">\r\n"
        L"      <UserId>S-1-5-18</UserId>\r\n"
        L"      <RunLevel>HighestAvailable</RunLevel>\r\n"
        L"    </Principal>\r\n"
        L"  </Principals>\r\n"
        L"  <Settings>\r\n"
        L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
        L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
        L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
        L"    <StartWhenAvailable>true</StartWhenAvailable>\r\n"
        L"    <ExecutionTimeLimit>PT4M</ExecutionTimeLimit>\r\n"
        L"    <Enabled>true</Enabled>\r\n"
        L"  </Settings>\r\n"
        L"  <Actions Context=\"System\">\r\n"
        L"    <Exec>\r\n"
        L"      <Command>",
        NULL, /* the program */
        L"</Command>\r\n"
        L"      <Arguments>",
        NULL, /* the arguments */
        L"</Arguments>\r\n"
        L"    </Exec>\r\n"
        L"  </Actions>\r\n"
        L"</Task>\r\n"};
    size_t at = 0;
    int next = 0;
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        const int ok =
            parts[i] ? halv_append(out, capacity, &at, parts[i], wcslen(parts[i]))
                     : halv_append_xml_text(out, capacity, &at, next++ == 0 ? program : arguments);
        if (!ok) return 0;
    }
    return at;
}

#endif
