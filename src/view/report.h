// The words of keldrun-view: the report printed before the recommended
// command, the commands, and the texts the page shows.
#pragma once

#include <cstdint>
#include <string>

#include "advise.h"

// The shortest decimal text of switch `letter` (T, G, C or F) that keldrun
// converts to exactly `value`: settings are printed as settled, never as
// typed.
std::string switch_text(int letter, int64_t value);
// "keldrun /T x /G y /C z /F f infile TRACK", leaving out default switches;
// every word quoted for the shell.
std::string command(const candidate& c, const std::string& infile);
// "keldrun-cut LABELS infile TRACK", every word quoted for the shell.
std::string cut_command(const std::string& labels, const std::string& infile);
// The command recommended: keldrun's, or keldrun-cut's with the label file
// `labels`.
std::string recommended_command(const advice& v, const std::string& infile,
                                const std::string& labels);
// The table under that command: the rows its program lists, or why they are
// not known yet and how to list them.
std::string table_text(const advice& v, const std::string& labels);
// The candidate's switches, all four.
std::string switches(const candidate& c);
// "6 tracks", or what keldrun says instead of a table.
std::string count_text(int n);
// What the candidate is: "current settings", "recommended: 6 tracks", ...;
// "keldrun's best: 6 tracks" when keldrun-cut is recommended (`cut`).
std::string label(const candidate& c, bool cut);
// How far its threshold may move and still give its count; "" when unknown.
std::string margin_text(const analysis& a, const candidate& c);
// What a gap or near miss is, with gap `gap` (frames).
std::string why(const stretch& s, uint32_t gap);
// What the candidate's table is when it has no rows, or how it was made;
// "" for rows that the detector listed.
std::string table_note(const candidate& c);
// What the plan is on the page: "recommended: keldrun-cut, 6 tracks", ...
std::string plan_label(const advice& v);
// What the plan does at boundary `b`: the silence and the cut.
std::string boundary_text(const boundary& b);
// How the plan decides, for the page.
std::string plan_about();
// What the plan's table is when it was not listed; "" when it was.
std::string plan_table_note(const cut_plan& p);
// "" for a recording with audio, else that it has none.
std::string notice(const analysis& a, const advice& v);
// The levels that matter and the findings, printed before the command.
std::string report(const analysis& a, const request& r, const advice& v, const std::string& input);
// The settings shown as the page's settings line.
std::string settings_text(const candidate& c);
