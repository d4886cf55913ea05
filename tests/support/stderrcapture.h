#pragma once
// StderrCapture lives with the other descriptor captures.
#include "support/outputcapture.h"
