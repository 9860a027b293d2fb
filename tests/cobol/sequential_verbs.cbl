       IDENTIFICATION DIVISION.
       PROGRAM-ID. SEQUENTIAL-VERBS.
      * Verbs out of place on a record-sequential file, a relative file
      * under sequential access (WRITE numbers the records, REWRITE and
      * DELETE take the record just read), OPTIONAL files opened INPUT
      * when absent, one of them indexed (unclosed_files makes absent
      * OPTIONAL files with I-O and EXTEND), and a LINE SEQUENTIAL file,
      * which KVRFH hands to GnuCOBOL's own handler. Each FILE STATUS is
      * printed. What the verbs do to a file statement by statement,
      * the verb tables hold.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT FX ASSIGN TO "sq_fixed.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT RL-SEQ ASSIGN TO "rl_seq.dat"
               ORGANIZATION RELATIVE ACCESS SEQUENTIAL
               FILE STATUS FS.
           SELECT OPTIONAL OPT ASSIGN TO "sq_optional.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT OPTIONAL IX-OPT ASSIGN TO "ix_optional.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY OP-KEY FILE STATUS FS.
           SELECT TX ASSIGN TO "sq_text.txt"
               ORGANIZATION LINE SEQUENTIAL FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD FX.
       01 FX-REC            PIC X(10).
       FD RL-SEQ.
       01 SQ-REC            PIC X(12).
       FD OPT.
       01 OPT-REC           PIC X(10).
       FD IX-OPT.
       01 OP-KEY            PIC X(6).
       FD TX.
       01 TX-REC            PIC X(20).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 N                 PIC 99.
       PROCEDURE DIVISION.
       MAIN.
           OPEN OUTPUT FX
           MOVE "FIRST" TO FX-REC WRITE FX-REC
           READ FX DISPLAY "READ on a file open OUTPUT " FS
           CLOSE FX OPEN I-O FX READ FX
           WRITE FX-REC DISPLAY "WRITE on a file open I-O " FS
           CLOSE FX OPEN INPUT FX READ FX
           REWRITE FX-REC DISPLAY "REWRITE on a file open INPUT " FS
           CLOSE FX

           OPEN OUTPUT RL-SEQ
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 3
               MOVE "RECORD" TO SQ-REC MOVE N TO SQ-REC(8:2)
               WRITE SQ-REC DISPLAY "WRITE relative " FS
           END-PERFORM
           CLOSE RL-SEQ REEL DISPLAY "CLOSE REEL relative " FS
           CLOSE RL-SEQ OPEN I-O RL-SEQ
           REWRITE SQ-REC DISPLAY "REWRITE before a READ " FS
           READ RL-SEQ DISPLAY "READ " FS " " SQ-REC
           READ RL-SEQ DISPLAY "READ " FS " " SQ-REC
           DELETE RL-SEQ DISPLAY "DELETE the record read " FS
           READ RL-SEQ DISPLAY "READ " FS " " SQ-REC
           MOVE "RECORD 03 NEW" TO SQ-REC
           REWRITE SQ-REC DISPLAY "REWRITE the record read " FS
           READ RL-SEQ DISPLAY "READ " FS
           CLOSE RL-SEQ OPEN INPUT RL-SEQ
           PERFORM UNTIL FS NOT = "00"
               READ RL-SEQ IF FS = "00" DISPLAY "  " SQ-REC END-IF
           END-PERFORM
           DISPLAY "READ relative to the end " FS
           CLOSE RL-SEQ

           OPEN INPUT OPT DISPLAY "OPEN INPUT optional, absent " FS
           READ OPT DISPLAY "READ optional, absent " FS
           CLOSE OPT
           OPEN INPUT IX-OPT
           DISPLAY "OPEN INPUT indexed optional " FS
           READ IX-OPT NEXT DISPLAY "READ NEXT indexed optional " FS
           CLOSE IX-OPT DISPLAY "CLOSE indexed optional " FS

           OPEN OUTPUT TX
           MOVE "A LINE OF TEXT" TO TX-REC
           WRITE TX-REC DISPLAY "WRITE line " FS
           CLOSE TX OPEN INPUT TX
           READ TX DISPLAY "READ line " FS
           DISPLAY "  " TX-REC
           CLOSE TX
           STOP RUN.
