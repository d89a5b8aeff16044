// Names for retrieved pictures: "<base><ext>" for a single picture, else "<base><n><ext>" with
// n counting up from a start number until no file of that name (nor of a companion name, such
// as the ".wav" beside a JPEG picture) exists.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::library {

// The base a save dialog's choice stands for: "dir/Image.jpg" -> "dir/Image".
std::filesystem::path baseNameOf(const std::filesystem::path& chosen);

// The next free name. `companions` are further extensions that must be free as well for the
// same stem (e.g. {".wav"}). A single picture whose plain name is taken gets a number too, so
// no existing file is ever replaced. Nothing when no number up to 99999 is free.
std::optional<std::filesystem::path> nextFreeName(const std::filesystem::path& base,
                                                  std::string_view extension, int start,
                                                  bool single,
                                                  const std::vector<std::string>& companions = {});

} // namespace kv::library
