// The launcher options record (payload/format.h) that `exe` writes beside the payload and
// `list` reports: options of the packed exe's start, chosen at pack time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pack/pe_resources.h"

// The record for flags: none when no option is set, so that an exe packed without options
// carries exactly the resources it did before options existed.
std::vector<ResourceItem> make_options_resources(uint32_t flags);

// The list with any earlier options record (any language) replaced by options: a packed exe
// packed again keeps only the options given now.
void set_options_resources(const std::vector<ResourceItem>& options, std::vector<ResourceItem>* items);

// The option flags an executable image carries; 0 without a record.
uint32_t read_exe_options(const Bytes& image);

// The options as `list` names them ("progress-window"); unknown flags as a hex word.
std::string describe_options(uint32_t flags);
