#include "TqRcg.h"

TqRcg::TqRcg(CQiError& /*error*/) {}

TqRcg::~TqRcg() {}
