#pragma once

#include <stdexcept>
#include <string>

// A database failure: the driver's message and its error number.
class DbError : public std::runtime_error {
public:
    DbError(unsigned code, const std::string& message)
        : std::runtime_error(message.empty() ? "Erro do banco de dados" : message), m_code(code) {}
    unsigned code() const { return m_code; }

private:
    unsigned m_code;
};
