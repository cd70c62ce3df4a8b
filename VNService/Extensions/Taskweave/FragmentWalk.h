// FragmentWalk.h - the worker's walk over the archive's fragment list (its pin index).
#pragma once

#include "VNService/Extensions/Taskweave/PinnedElements.h"

#include <memory>

// A walk over the fragment list that the registry names, opened by Open.
std::unique_ptr<CPinnedElementWalk> MakeFragmentListWalk();
