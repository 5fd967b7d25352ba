// actions.h: the status collection, the status report and the five actions.
// Each action writes exactly one complete answer and returns the process exit status.
#pragma once

#include "actions/login_status.h"
#include "request/buf.h"

namespace credvane {

// Fills st completely for the account (empty name: the default account). Runs the login
// CLI once with "--status".
void collect_status(login_status& st, const char* name);

// Appends the status fields of st (no enclosing braces) to b.
void emit_status(buf& b, const login_status& st);

int action_status(const char* name);
int action_start(const char* name, int force);
int action_poll(const char* name);
int action_cancel(const char* name);
int action_refresh(const char* name);

}  // namespace credvane

namespace credvane {
// Writes {"ok":true,"state":"done", the status fields of st, "}".
void emit_done(const login_status& st);
}  // namespace credvane
