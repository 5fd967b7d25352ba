// win32_testing.h: switches of the Windows platform layer for its own tests only. Nothing
// in credvane calls them and no configuration reaches them; they exist so that a test can
// show that the behaviour they switch really is what its assertions see.
#pragma once

#include <string>

namespace credvane::platform::win32_testing {

// Called between two tries at a credential file that another process holds busy.
void set_busy_retry_hook(void (*hook)());

// Called while a reader waits for a writer's lock on a credential file's "auth.lock".
void set_read_lock_wait_hook(void (*hook)());

// Whether a CLI receives only its three standard handles (the default, and always so in
// credvane) or every inheritable handle of the process.
void set_handle_list(bool on);

// Whether a waiting lock request can be cancelled on this system, found as file_lock finds
// it (and cached for the process), asked through the lock file at path.
bool lock_waits_supported(const char* path);

// The wide path the file functions receive for a UTF-8 path; empty when it has none.
std::wstring file_path_for(const char* path);

// Makes one output pipe as a CLI run does: its name, and the handle of its read end (the
// caller closes it), or null when it could not be made.
void* output_pipe_for(std::wstring& name);

}  // namespace credvane::platform::win32_testing
