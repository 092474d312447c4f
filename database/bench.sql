/*
 * Orvala reference database: benchmark data generator.
 *
 * Load after schema.sql, routines.sql and demo.sql, then run for example
 *   EXECUTE PROCEDURE GENERATE_BENCH_DATA(100000, 20000);
 *   COMMIT;
 *
 * N_LINES journal lines go to company 00001, fiscal year 2024, as new
 * registrations of four lines each (numbered after the highest registration
 * already there, each with its header), so MOVIMENTI_CONTABILI grows by
 * exactly N_LINES rows and MOVIMENTI_HEADER by N_LINES / 4 rounded up.
 * N_ARTICLES articles go to ARTICOLI with codes BENCH00000001 upwards,
 * continuing after the bench articles of an earlier run. Every row is full
 * width, with varied values, a note on one row in ten.
 */

SET TERM ^ ;

CREATE OR ALTER PROCEDURE GENERATE_BENCH_DATA (
  N_LINES    INTEGER,
  N_ARTICLES INTEGER)
AS
DECLARE VARIABLE I INTEGER;
DECLARE VARIABLE NUMREG INTEGER;
DECLARE VARIABLE RIGA INTEGER;
DECLARE VARIABLE DATAREG TIMESTAMP;
DECLARE VARIABLE IMPORTO DOUBLE PRECISION;
DECLARE VARIABLE PRIMO INTEGER;
BEGIN
  /* Journal lines */
  SELECT COALESCE(MAX(M.MC_NUMREG), 0) FROM MOVIMENTI_CONTABILI M
   WHERE M.ID_DITTE = '00001' AND M.ID_ANNO = 2024
    INTO :NUMREG;
  SELECT MAXVALUE(:NUMREG, COALESCE(MAX(H.MC_NUMREG), 0)) FROM MOVIMENTI_HEADER H
   WHERE H.ID_DITTE = '00001' AND H.ID_ANNO = 2024
    INTO :NUMREG;
  I = 0;
  RIGA = 4;
  WHILE (I < N_LINES) DO
  BEGIN
    IF (RIGA = 4) THEN
    BEGIN
      NUMREG = NUMREG + 1;
      RIGA = 0;
      DATAREG = DATEADD(MOD(NUMREG, 365) DAY TO TIMESTAMP '2024-01-01 00:00:00');
      IMPORTO = 100 + MOD(NUMREG * 37, 9000) + MOD(NUMREG, 100) / 100.0;
      INSERT INTO MOVIMENTI_HEADER (ID_DITTE, ID_ANNO, MC_NUMREG, MC_CODCAU, ID_TIPOPIACO,
                                    MASTRO, CONTO, SOTTOCONTO, DETTAGLIO, IMPORTO,
                                    DATASCADENZA, PROTOCOLLO, NUMERO_DOCUMENTO,
                                    SIGLA_DOCUMENTO, DATA_DOCUMENTO, NUMERO_PARTITA,
                                    RIFERIMENTO_IVA, SCADENZA, COMPETENZA, CONDPAG,
                                    VALUTA, DATA_VALUTA, CAMBIO)
      VALUES ('00001', 2024, :NUMREG, 1, 1, 20, 1, 1 + MOD(:NUMREG, 3), 0, :IMPORTO * 1.22,
              DATEADD(30 DAY TO :DATAREG), :NUMREG, :NUMREG, 'FT', :DATAREG, :NUMREG,
              :DATAREG, DATEADD(30 DAY TO :DATAREG), :DATAREG, 2, 1, :DATAREG, 1.0);
    END
    RIGA = RIGA + 1;
    INSERT INTO MOVIMENTI_CONTABILI (ID_DITTE, ID_ANNO, MC_NUMREG, MC_PROGREG, MC_DATAREG,
                                     MC_CODCAU, MC_TIPOPIACO, MC_MASTRO, MC_CONTO,
                                     MC_SOTTOCONTO, MC_DETTAGLIO, MC_DARE, MC_AVERE,
                                     MC_DESCRIZIONE, MC_NUMDOC, MC_DATADOC, MC_PROTOCOLLO,
                                     MC_COMMESSA, MC_STATO, MC_NOTE)
    VALUES ('00001', 2024, :NUMREG, :RIGA, :DATAREG, 1, 1,
            CASE :RIGA WHEN 1 THEN 20 WHEN 2 THEN 70 WHEN 3 THEN 30 ELSE 60 END,
            CASE :RIGA WHEN 3 THEN 2 ELSE 1 END,
            CASE :RIGA WHEN 1 THEN 1 + MOD(:NUMREG, 3) WHEN 2 THEN 1 WHEN 3 THEN 1 ELSE 1 END,
            0,
            CASE WHEN :RIGA IN (1, 4) THEN :IMPORTO ELSE 0 END,
            CASE WHEN :RIGA IN (2, 3) THEN :IMPORTO ELSE 0 END,
            'REGISTRAZIONE DI PROVA ' || :NUMREG || ' RIGA ' || :RIGA,
            :NUMREG, :DATAREG, :NUMREG,
            CASE WHEN MOD(:NUMREG, 5) = 0 THEN 'C2024-01' ELSE NULL END,
            MOD(:NUMREG, 2),
            CASE WHEN MOD(:I, 10) = 0 THEN 'Nota della riga ' || :I ELSE NULL END);
    I = I + 1;
  END

  /* Articles */
  SELECT COUNT(*) FROM ARTICOLI A WHERE A.CODICE STARTING WITH 'BENCH' INTO :PRIMO;
  I = 1;
  WHILE (I <= N_ARTICLES) DO
  BEGIN
    IMPORTO = 1 + MOD((PRIMO + I) * 7919, 50000) / 100.0;
    INSERT INTO ARTICOLI (CODICE, DESCRIZIONE, DESCRIZIONE2, UNITA_MISURA, ID_TAB_IVA,
                          GRUPPO, ID_STATUS_ARTICOLI, ID_TIPO_PROD, ID_PRODUTTORI,
                          CLASSE_SCONTO, ID_FORNITORI, PREZZO_ACQUISTO, PREZZO_VENDITA1,
                          PREZZO_VENDITA2, COSTO_MEDIO, SCORTA_MINIMA, PESO, CODICE_BARRE,
                          DATA_INSERIMENTO, OBSOLETO, NOTE)
    VALUES ('BENCH' || LPAD(:PRIMO + :I, 8, '0'),
            'ARTICOLO DI PROVA NUMERO ' || (:PRIMO + :I),
            'VARIANTE ' || MOD(:PRIMO + :I, 17),
            CASE MOD(:I, 3) WHEN 0 THEN 'NR' WHEN 1 THEN 'KG' ELSE 'MT' END,
            CASE WHEN MOD(:I, 10) = 0 THEN '10' ELSE '22' END,
            CASE MOD(:I, 3) WHEN 0 THEN 'CEM' WHEN 1 THEN 'LAT' ELSE 'UTE' END,
            1, 1 + MOD(:I, 3), 1 + MOD(:I, 3),
            CASE MOD(:I, 3) WHEN 0 THEN 'A' WHEN 1 THEN 'B' ELSE 'C' END,
            CASE WHEN MOD(:I, 2) = 0 THEN 1 ELSE 2 END,
            :IMPORTO, :IMPORTO * 1.4, :IMPORTO * 1.3, :IMPORTO * 1.05,
            MOD(:I, 50), MOD(:I, 1000) / 10.0,
            '80' || LPAD(:PRIMO + :I, 11, '0'),
            DATEADD(MOD(:I, 1000) DAY TO TIMESTAMP '2021-01-01 08:00:00'),
            CASE WHEN MOD(:I, 25) = 0 THEN 1 ELSE 0 END,
            CASE WHEN MOD(:I, 10) = 0 THEN 'Scheda tecnica ' || :I ELSE NULL END);
    I = I + 1;
  END
END^

SET TERM ; ^
COMMIT;
