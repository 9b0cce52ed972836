#pragma once

#include <string>

#include "fault_matrix/fault_matrix.h"

namespace kx7::matrix {

// The row's parts in words, as docs/fault-matrix.md shows them.
// The fault in words and, where a scenario file can say it, as its entry.
std::string DescribeFault(const Fault& fault);
std::string FaultInWords(const Fault& fault);
std::string DescribeResult(Operation operation, int result);
std::string DescribePlayer(const Left& left);
std::string DescribeHost(const Row& row);

// docs/fault-matrix.md.
std::string FaultMatrixDocument();

}  // namespace kx7::matrix
