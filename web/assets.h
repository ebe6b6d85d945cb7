// SPDX-License-Identifier: GPL-2.0-or-later
// The page's files, built into the binary from web/assets/ (see
// cmake/embed_assets.cmake): name, bytes (followed by a NUL not counted)
// and size.
#pragma once
#include <cstddef>

struct WebAsset {
  const char* name;  // "index.html", "app.js", ...
  const unsigned char* data;
  size_t size;
};

extern const WebAsset* const web_builtin_assets;
extern const size_t web_builtin_asset_count;

// Content type by the name's extension; "application/octet-stream" when unknown.
const char* web_asset_type(const char* name);
