// `--install --protect`: switches on extendedDetection and
// pauseSuspectPrograms in the user's config file, adding or replacing the two
// keys and keeping every other byte. Pure: the installer reads and writes the
// file (creating the default one first when there is none).
#pragma once

#include <string>

constexpr const char* const kProtectKeys[] = {"extendedDetection", "pauseSuspectPrograms"};

// Sets `key` to true where the agent's key reader finds it (its first
// occurrence; the value after the next colon is replaced, a string or a
// word), or adds it as the object's last member, with the file's own line
// ends. Blank content counts as the default file. False when the content
// has no closing brace to add before (out is then left as it was).
bool SetConfigKeyTrue(const std::string& content, const std::string& key, std::string& out);

// Both keys of kProtectKeys, in that order.
bool AddProtectSettings(const std::string& content, std::string& out);
