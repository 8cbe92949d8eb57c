#pragma once

enum class TTipoProblema {
    CopiaAusente,      // a row's remote copy does not exist
    CopiaDiferente,    // a row's remote copy is not its document's bytes
    SemRegistro,       // a backup document has no row
    SemBackup,         // a row whose document the backup does not hold
    RemotoSemRegistro, // a remote file no row names
    Ilegivel,          // a backup file that does not read as a document
};
constexpr int kTiposDeProblema = 6;
