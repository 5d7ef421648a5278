// The page: one self-contained HTML file that shows the levels, the tracks
// and the gaps for each candidate.
#pragma once

#include <string>

#include "advise.h"
#include "analysis.h"
#include "platform.h"

// The template, with the placeholder "/*KELDRUN_DATA*/null" for the data.
extern const char* const page_template;

// The page's data, as JSON: the candidates, and the plan with its label file
// `labels` when there is one.
std::string page_data(const std::string& input, const std::string& labels, const analysis& a,
                      const request& r, const advice& v);
// Writes the page to `path` as a whole or not at all, never in the place of
// the input (`input`, when known) nor of anything but a regular file; "" when
// done, else why not.
std::string write_page(const std::string& path, const std::string& data, const file_id* input);
