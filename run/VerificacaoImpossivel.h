#pragma once

#include <stdexcept>

// The check could not be made: a server did not answer or refused. The message says which.
class TVerificacaoImpossivel : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
