// SPDX-License-Identifier: GPL-2.0-or-later
// What the dashboard knows beyond the live figures: the last-heard list, the
// calls per hour, and the log of the Server-Sent Events that a reconnecting
// client may ask for again.  Filled from the call record's events; the web
// thread alone touches it (no lock), tests call the functions directly.
// The JSON shapes are those of web/README.md.
#pragma once
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/call_record.h"
#include "core/id_list.h"

inline constexpr size_t LASTHEARD_KEEP = 200;
inline constexpr size_t LASTHEARD_DEFAULT = 20;
inline constexpr size_t EVENT_LOG_KEEP = 256;
inline constexpr int HISTORY_HOURS = 24;

// "2026-12-08T15:04:05.123Z" for a wall time in ms since the epoch.
std::string iso_utc(int64_t wall_ms);

// Compact JSON text; bytes that are not UTF-8 become U+FFFD.
std::string json_text(const nlohmann::ordered_json& j);

// One call; callsigns and names from `ids`.
nlohmann::ordered_json call_json(const CallFigures& c, const IdList& ids);

// ---- the model (web thread only) ---------------------------------------------------

// Start-of-run state: nothing heard, no events.  start_wall_ms: the gateway's
// start (the prefix of every event id); mode: the login mode text.
void web_model_reset(int64_t start_wall_ms, const char* mode);
int64_t web_model_start_ms();

// Takes one event of the call record and returns its event-stream text
// (empty when it shows nothing); id'd events enter the event log.
std::string web_model_take(const RecordEvent& ev, const IdList& ids, int64_t mono_now);

// The documents of /api/lastheard (newest first, at most `limit`),
// /api/history and /api/status.
nlohmann::ordered_json lastheard_json(size_t limit, const IdList& ids);
nlohmann::ordered_json history_json(int64_t wall_now);
nlohmann::ordered_json status_json(int64_t wall_now, int64_t mono_now, const IdList& ids);

// ---- event-stream texts ---------------------------------------------------------------

// "event: <name>\n[id: <id>\n]data: <json>\n\n"
std::string sse_event(const char* name, const std::string* id, const nlohmann::ordered_json& data);
// The snapshot event, with the id of the latest event logged.
std::string sse_snapshot(int64_t wall_now, int64_t mono_now, const IdList& ids);
// The events after `last_event_id` appended to `out`; false (nothing
// appended) when the id is not one of this run's still kept.
bool sse_replay(std::string_view last_event_id, std::string* out);
// Id of the latest event logged ("<start seconds>-0" before any).
std::string sse_last_id();
// Progress of a call on the air (no id).
std::string sse_progress(const CallFigures& c, const IdList& ids);
