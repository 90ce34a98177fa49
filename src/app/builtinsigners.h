// builtinsigners: the publisher keys compiled into this build (the CMake option
// CV_TRUSTED_SIGNERS, hashes of 64 hex digits separated by ","), empty by default. They stand in
// the image, so the installer's own signature covers them: a publisher who signs the installer
// names here the keys that may sign its updates besides the installer's own key (a new key that
// takes over). Built as a library of its own so that a test build can carry other keys.
#pragma once

// The keys as the option gave them ("" for none).
const char* builtInSigners();
