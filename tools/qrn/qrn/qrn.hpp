// Everything a tool of the framework needs.
#pragma once

#include "qrn.pb.h"
#include "qrn/blob.hpp"
#include "qrn/common.hpp"
#include "qrn/io.hpp"
#include "qrn/layer.hpp"
#include "qrn/layer_factory.hpp"
#include "qrn/math.hpp"
#include "qrn/net.hpp"
