#pragma once
// Passphrases and recovery codes as the commands take them in. A secret given as an argument value
// can be read by every user on the machine (/proc/<pid>/cmdline, `ps`) and stays in the shell
// history, so the commands take secrets from a file (a pipe, "-" for standard input, or a process
// substitution such as <(pass show stowage) work as well), from an environment variable, or from a
// prompt with echo off when standard input is a terminal. Every buffer that held a secret is wiped.

#include "core/KDF.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace stowage::cli {

inline constexpr const char* passphraseVariable = "STOWAGE_PASSPHRASE";
inline constexpr const char* recoveryCodeVariable = "STOWAGE_RECOVERY_CODE";

/// The most a secret file may hold; a passphrase or code is far shorter, and a larger file is
/// almost surely the wrong one.
inline constexpr std::size_t maxSecretFileBytes = 64 * 1024;

/// The content of the file named `typed` ("~" expanded, relative to the current folder), read as a
/// stream to its end, so a pipe, a FIFO or /dev/fd/N is read like a file; "-" is standard input (on
/// a terminal it is asked for with echo off instead). One final line break ("\n" or "\r\n") is
/// dropped, as editors and `echo` leave one. `what` names the secret ("passphrase", "recovery
/// code") in the prompt and in the sentence thrown when the file cannot be opened or read, is a
/// folder, or is larger than maxSecretFileBytes.
SecretString readSecretFile(const std::string& typed, const std::string& what);

/// The value of the environment variable `name`; absent when it is not set (an empty value is
/// returned as empty, for the caller to judge).
std::optional<SecretString> secretFromEnvironment(const char* name);

/// True when standard input is a terminal, so a prompt can be answered.
bool canPrompt();

/// Writes `prompt` to standard error and reads one line from the terminal with echo off, without
/// its line break. Absent when standard input is not a terminal. Echo comes back also when the
/// user interrupts the prompt. Throws when echo cannot be switched off.
std::optional<SecretString> promptHidden(const std::string& prompt);

} // namespace stowage::cli
