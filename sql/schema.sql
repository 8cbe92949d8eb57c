-- Tables of the remote database kelvaro_doc. The program creates no table; this file
-- sets up the private servers of the tests and the demo, and documents what a customer's
-- server must hold.
--
-- InnoDB, because a docs row is committed only after its file reached the FTP server.
-- Widths leave room above the NF-e maxima (CNPJ 14, CPF 11, nNF 9, serie 3, xNome 60,
-- chNFe 44): the program does not check the documents, and a refused row would hold the
-- storage run at that file. chave_doc may instead be a file name less 8 characters.
-- Lengths count characters, so accented names fit as well. Run the server with a strict
-- SQL mode, so that a value too long is refused rather than cut.

CREATE TABLE IF NOT EXISTS docs (
  id            BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ccnpj_origem  VARCHAR(60)   NOT NULL,
  ccnpj_destino VARCHAR(60)   NOT NULL,
  cnumdoc       VARCHAR(60)   NOT NULL,
  cserie        VARCHAR(60)   NOT NULL,
  demissao      DATETIME      NOT NULL,
  cnome_destino VARCHAR(255)  NOT NULL,
  cnome_origem  VARCHAR(255)  NOT NULL,
  nvalortotal   DOUBLE        NOT NULL,
  chave_doc     VARCHAR(255)  NOT NULL,
  arquivo       VARCHAR(255)  NOT NULL,
  pasta         VARCHAR(512)  NOT NULL,
  xml           LONGTEXT      NOT NULL,
  link          VARCHAR(1024) NOT NULL,
  creferencia   CHAR(6)       NOT NULL,
  KEY docs_pasta (pasta(191)),
  KEY docs_chave (chave_doc(191))
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Counter names are matched exactly, letter case included.
CREATE TABLE IF NOT EXISTS sequenciais (
  ctipo VARCHAR(15) NOT NULL,
  iseql INT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
