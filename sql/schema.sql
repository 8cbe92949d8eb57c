-- Tables of the remote database kelvaro_doc. The program creates no table; this file
-- sets up the private servers of the tests and the demo, and documents what a customer's
-- server must hold.

CREATE TABLE IF NOT EXISTS docs (
  id            BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ccnpj_origem  VARCHAR(255)  NOT NULL,
  ccnpj_destino VARCHAR(255)  NOT NULL,
  cnumdoc       VARCHAR(255)  NOT NULL,
  cserie        VARCHAR(255)  NOT NULL,
  demissao      DATETIME      NOT NULL,
  cnome_destino VARCHAR(255)  NOT NULL,
  cnome_origem  VARCHAR(255)  NOT NULL,
  nvalortotal   DOUBLE        NOT NULL,
  chave_doc     VARCHAR(255)  NOT NULL,
  arquivo       VARCHAR(1024) NOT NULL,
  pasta         VARCHAR(1024) NOT NULL,
  xml           LONGTEXT      NOT NULL,
  link          VARCHAR(2048) NOT NULL,
  creferencia   VARCHAR(6)    NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS sequenciais (
  ctipo VARCHAR(15) NOT NULL,
  iseql INT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
