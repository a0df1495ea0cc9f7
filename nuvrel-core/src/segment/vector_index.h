// The vector data a segment loads for its dense-vector fields.
#pragma once

#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/vector_index_types.h"
