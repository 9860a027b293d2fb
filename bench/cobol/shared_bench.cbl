      *================================================================
      * SHARED-BENCH: programs working one indexed file at once, each
      * reading records and rewriting them under LOCK MODE AUTOMATIC.
      *
      *   shared_bench load N     makes the file with N records
      *   shared_bench work N P OPS
      *                           OPS times: a random READ of one of the
      *                           N records (it locks the record) and a
      *                           REWRITE of it; every tenth time also a
      *                           WRITE of a new record of its own (P,
      *                           0-9, keeps the keys of programs apart)
      *
      * A READ or REWRITE that meets a record another program holds
      * (51, or 99 from a handler that says so) is counted and the next
      * operation goes on. The last line is "DONE ops locked".  The
      * file is bench.dat in the current folder.  Any other unexpected
      * FILE STATUS ends the run with return code 16.
      *================================================================
       IDENTIFICATION DIVISION.
       PROGRAM-ID. SHARED-BENCH.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT BF ASSIGN TO "bench.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY BF-KEY
               LOCK MODE IS AUTOMATIC
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD BF.
       01 BF-REC.
          05 BF-KEY    PIC X(10).
          05 BF-COUNT  PIC 9(8).
          05 BF-DATA   PIC X(82).
       WORKING-STORAGE SECTION.
       01 FS        PIC XX.
       01 ARGS      PIC X(60).
       01 ACTION    PIC X(8).
       01 N         PIC 9(8) VALUE 0.
       01 P         PIC 9 VALUE 0.
       01 OPS       PIC 9(8) VALUE 0.
       01 I         PIC 9(8) VALUE 0.
       01 DONE-OPS  PIC 9(8) VALUE 0.
       01 LOCKED    PIC 9(8) VALUE 0.
       01 SEED      PIC 9(10) VALUE 0.
       01 PICK      PIC 9(8) VALUE 0.
       01 NEW-KEY   PIC 9(8) VALUE 0.
       PROCEDURE DIVISION.
           ACCEPT ARGS FROM COMMAND-LINE
           UNSTRING ARGS DELIMITED BY ALL SPACE
               INTO ACTION N P OPS
           EVALUATE ACTION
               WHEN "load" PERFORM LOAD-FILE
               WHEN "work" PERFORM WORK-FILE
               WHEN OTHER DISPLAY "usage: load N | work N P OPS"
                          MOVE 2 TO RETURN-CODE
           END-EVALUATE
           STOP RUN.

       LOAD-FILE.
           OPEN OUTPUT BF
           PERFORM VARYING I FROM 1 BY 1 UNTIL I > N
               MOVE SPACES TO BF-REC
               STRING "K" I DELIMITED BY SIZE INTO BF-KEY
               MOVE 0 TO BF-COUNT
               MOVE ALL "x" TO BF-DATA
               WRITE BF-REC
               IF FS NOT = "00" PERFORM FAILED END-IF
           END-PERFORM
           CLOSE BF.

       WORK-FILE.
           COMPUTE SEED = 12345 + P * 7919
           OPEN I-O BF
           IF FS NOT = "00" PERFORM FAILED END-IF
           PERFORM VARYING I FROM 1 BY 1 UNTIL I > OPS
               COMPUTE SEED = FUNCTION MOD(SEED * 1103515245 + 12345,
                                           2147483648)
               COMPUTE PICK = FUNCTION MOD(SEED / 256, N) + 1
               MOVE SPACES TO BF-KEY
               STRING "K" PICK DELIMITED BY SIZE INTO BF-KEY
               READ BF
               EVALUATE FS
                   WHEN "00"
                       ADD 1 TO BF-COUNT
                       REWRITE BF-REC
                       EVALUATE FS
                           WHEN "00" ADD 1 TO DONE-OPS
                           WHEN "51" ADD 1 TO LOCKED
                           WHEN "99" ADD 1 TO LOCKED
                           WHEN OTHER PERFORM FAILED
                       END-EVALUATE
                   WHEN "51" ADD 1 TO LOCKED
                   WHEN "99" ADD 1 TO LOCKED
                   WHEN OTHER PERFORM FAILED
               END-EVALUATE
               IF FUNCTION MOD(I, 10) = 0
                   ADD 1 TO NEW-KEY
                   MOVE SPACES TO BF-REC
                   STRING "N" P NEW-KEY DELIMITED BY SIZE INTO BF-KEY
                   MOVE 0 TO BF-COUNT
                   MOVE ALL "y" TO BF-DATA
                   WRITE BF-REC
                   IF FS NOT = "00" PERFORM FAILED END-IF
               END-IF
           END-PERFORM
           CLOSE BF
           DISPLAY "DONE " DONE-OPS " " LOCKED.

       FAILED.
           DISPLAY "unexpected FILE STATUS " FS " at operation " I
           MOVE 16 TO RETURN-CODE
           STOP RUN.
