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
       01 WHAT              PIC X(30).
       01 N                 PIC 99.
       PROCEDURE DIVISION.
       MAIN.
           OPEN OUTPUT FX
           MOVE "FIRST" TO FX-REC WRITE FX-REC
           READ FX
           MOVE "READ on a file open OUTPUT" TO WHAT PERFORM SHOW
           CLOSE FX
           OPEN I-O FX
           READ FX
           WRITE FX-REC
           MOVE "WRITE on a file open I-O" TO WHAT PERFORM SHOW
           CLOSE FX
           OPEN INPUT FX
           READ FX
           REWRITE FX-REC
           MOVE "REWRITE on a file open INPUT" TO WHAT PERFORM SHOW
           CLOSE FX

           OPEN OUTPUT RL-SEQ
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 3
               MOVE SPACES TO SQ-REC
               STRING "RECORD " N DELIMITED BY SIZE INTO SQ-REC
               WRITE SQ-REC
               MOVE "WRITE relative" TO WHAT PERFORM SHOW
           END-PERFORM
           CLOSE RL-SEQ REEL
           MOVE "CLOSE REEL relative" TO WHAT PERFORM SHOW
           CLOSE RL-SEQ
           OPEN I-O RL-SEQ
           REWRITE SQ-REC
           MOVE "REWRITE before a READ" TO WHAT PERFORM SHOW
           READ RL-SEQ
           MOVE "READ" TO WHAT PERFORM SHOW-SEQ
           READ RL-SEQ
           MOVE "READ" TO WHAT PERFORM SHOW-SEQ
           DELETE RL-SEQ
           MOVE "DELETE the record read" TO WHAT PERFORM SHOW
           READ RL-SEQ
           MOVE "READ" TO WHAT PERFORM SHOW-SEQ
           MOVE "RECORD 03 NEW" TO SQ-REC
           REWRITE SQ-REC
           MOVE "REWRITE the record read" TO WHAT PERFORM SHOW
           READ RL-SEQ
           MOVE "READ" TO WHAT PERFORM SHOW
           CLOSE RL-SEQ
           OPEN INPUT RL-SEQ
           PERFORM UNTIL FS NOT = "00"
               READ RL-SEQ
               IF FS = "00" DISPLAY "  " SQ-REC END-IF
           END-PERFORM
           MOVE "READ relative to the end" TO WHAT PERFORM SHOW
           CLOSE RL-SEQ

           OPEN INPUT OPT
           MOVE "OPEN INPUT optional, absent" TO WHAT PERFORM SHOW
           READ OPT
           MOVE "READ optional, absent" TO WHAT PERFORM SHOW
           CLOSE OPT
           OPEN INPUT IX-OPT
           MOVE "OPEN INPUT indexed optional" TO WHAT PERFORM SHOW
           READ IX-OPT NEXT
           MOVE "READ NEXT indexed optional" TO WHAT PERFORM SHOW
           CLOSE IX-OPT
           MOVE "CLOSE indexed optional" TO WHAT PERFORM SHOW

           OPEN OUTPUT TX
           MOVE "A LINE OF TEXT" TO TX-REC WRITE TX-REC
           MOVE "WRITE line" TO WHAT PERFORM SHOW
           CLOSE TX
           OPEN INPUT TX
           READ TX
           MOVE "READ line" TO WHAT PERFORM SHOW
           DISPLAY "  " TX-REC
           CLOSE TX
           STOP RUN.

       SHOW.
           DISPLAY WHAT " " FS.

       SHOW-SEQ.
           DISPLAY WHAT " " FS " " SQ-REC.
