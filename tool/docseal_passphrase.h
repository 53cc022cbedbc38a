// The passphrase of a command: from the command line, or, kept off it, from a
// file or an open descriptor named in the environment, with a prompt when
// that descriptor is a terminal.
#pragma once
#include "nxr_securebuffer.h"
#include "nxr_wchar_string.h"

#include <string>

namespace docseal {

// What a look for a passphrase outside the command line came to.
enum class PassphraseSource {
    None,   // neither variable is set
    Held,   // read and held in the secure buffer
    Usage,  // the variables are malformed, both are set, or the text is not UTF-8
    Failed, // the file or descriptor cannot be read, or the passphrase is empty
};

// Whether DOCSEAL_PASSPHRASE_FILE or DOCSEAL_PASSPHRASE_FD is set (even empty).
bool passphraseVariableSet();

// Holds given's characters and their terminating zero (which takes part in
// the key derivation) in passphrase. False for an empty passphrase, which
// has nothing to hold.
bool holdPassphrase(const nxr::CNXRWCharString& given, nxr::CNXRSecureBuffer<nxr::NXR_USHORT>& passphrase);

// Reads the first line of the file or descriptor that the environment names
// and holds it in passphrase. On a terminal it prompts without echo, twice
// when bConfirm is set. A source that is the open file iDocumentFd (the
// document's standard input; -1 for none) is a usage error. Anything but
// Held and None comes with a reason in plain words.
PassphraseSource passphraseFromEnvironment(bool bConfirm, int iDocumentFd,
                                           nxr::CNXRSecureBuffer<nxr::NXR_USHORT>& passphrase, std::string& reason);

} // namespace docseal
