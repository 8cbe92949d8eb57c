#pragma once

// Where a file stands in a run, for observers (tests).
enum class TEtapaArquivo {
    Lido,       // read and parsed
    Publicado,  // its bytes on the FTP server, its row not yet committed
    Confirmado, // its row committed, the file not yet moved
};
