-- Tables of the remote database kelvaro_doc. The program creates no table; this file
-- sets up the private servers of the tests and the demo, and documents what a customer's
-- server must hold.
--
-- InnoDB, because a docs row is committed only after its file reached the FTP server.
-- Widths leave room above the NF-e maxima (CNPJ 14, CPF 11, nNF 9, serie 3, xNome 60,
-- chNFe 44): the program does not check the documents, and a refused row would hold the
-- storage run at that file. chave_doc holds the access key the document states, or for a
-- document that states none its file name less 8 characters.
-- Lengths count characters, so accented names fit as well. Run the server with a strict
-- SQL mode, so that a value too long is refused rather than cut.
--
-- A document is registered once per remote folder: the program looks for it before it
-- inserts. The two unique keys make that hold also when two PCs of one account store the
-- same document, or take the same file name, at the same moment (the loser's INSERT fails
-- with a duplicate key and the program looks again). The folder and the file name compare
-- byte for byte, as the FTP server's file names do. A table that already holds duplicate
-- rows needs them removed before the keys can be added.

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
  arquivo       VARCHAR(255)  COLLATE utf8mb4_bin NOT NULL,
  pasta         VARCHAR(512)  COLLATE utf8mb4_bin NOT NULL,
  xml           LONGTEXT      NOT NULL,
  link          VARCHAR(1024) NOT NULL,
  creferencia   CHAR(6)       NOT NULL,
  -- The access key when chave_doc holds one (44 digits), otherwise NULL, which a unique key
  -- never counts as a duplicate.
  chave_nfe     CHAR(44) AS (IF(chave_doc REGEXP '^[0-9]{44}$', chave_doc, NULL)) PERSISTENT,
  UNIQUE KEY docs_arquivo (pasta, arquivo),
  UNIQUE KEY docs_chave_nfe (pasta, chave_nfe),
  KEY docs_chave (chave_doc(191)),
  KEY docs_numero (pasta(191), cnumdoc)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Counter names are matched exactly, letter case included.
CREATE TABLE IF NOT EXISTS sequenciais (
  ctipo VARCHAR(15) NOT NULL,
  iseql INT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
