       IDENTIFICATION DIVISION.
       PROGRAM-ID. RELATIVE-VERBS.
      * Every verb on a relative file, under dynamic and sequential
      * access; each FILE STATUS is printed.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT RL ASSIGN TO "rl_verbs.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC
               RELATIVE KEY RK
               FILE STATUS FS.
           SELECT RL-SEQ ASSIGN TO "rl_seq.dat"
               ORGANIZATION RELATIVE ACCESS SEQUENTIAL
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD RL.
       01 RL-REC            PIC X(12).
       FD RL-SEQ.
       01 SQ-REC            PIC X(12).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 RK                PIC 9(6).
       01 WHAT              PIC X(30).
       01 N                 PIC 99.
       PROCEDURE DIVISION.
       MAIN.
           OPEN INPUT RL
           MOVE "OPEN INPUT missing file" TO WHAT PERFORM SHOW
           OPEN OUTPUT RL
           MOVE "OPEN OUTPUT" TO WHAT PERFORM SHOW
           MOVE 7 TO RK MOVE "SEVEN" TO RL-REC WRITE RL-REC
           MOVE "WRITE 7" TO WHAT PERFORM SHOW
           MOVE 3 TO RK MOVE "THREE" TO RL-REC WRITE RL-REC
           MOVE "WRITE 3" TO WHAT PERFORM SHOW
           MOVE 12 TO RK MOVE "TWELVE" TO RL-REC WRITE RL-REC
           MOVE "WRITE 12" TO WHAT PERFORM SHOW
           MOVE 3 TO RK MOVE "THREE AGAIN" TO RL-REC WRITE RL-REC
           MOVE "WRITE 3 again" TO WHAT PERFORM SHOW
           CLOSE RL
           MOVE "CLOSE" TO WHAT PERFORM SHOW

           OPEN I-O RL
           MOVE "OPEN I-O" TO WHAT PERFORM SHOW
           MOVE 7 TO RK READ RL
           MOVE "READ 7" TO WHAT PERFORM SHOW-REC
           MOVE 4 TO RK
           START RL KEY IS NOT LESS THAN RK
           MOVE "START >= 4" TO WHAT PERFORM SHOW
           READ RL NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW-REC
           READ RL NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW-REC
           READ RL NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW
           MOVE 7 TO RK
           START RL KEY IS GREATER THAN RK
           MOVE "START > 7" TO WHAT PERFORM SHOW
           MOVE 7 TO RK MOVE "SEVEN NEW" TO RL-REC REWRITE RL-REC
           MOVE "REWRITE 7" TO WHAT PERFORM SHOW
           MOVE 3 TO RK DELETE RL
           MOVE "DELETE 3" TO WHAT PERFORM SHOW
           MOVE 1 TO RK MOVE "ONE" TO RL-REC WRITE RL-REC
           MOVE "WRITE 1 open I-O" TO WHAT PERFORM SHOW
           MOVE 7 TO RK READ RL
           MOVE "READ 7" TO WHAT PERFORM SHOW-REC
           CLOSE RL

           OPEN OUTPUT RL-SEQ
           MOVE "OPEN OUTPUT sequential" TO WHAT PERFORM SHOW
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 3
               MOVE SPACES TO SQ-REC
               STRING "RECORD " N DELIMITED BY SIZE INTO SQ-REC
               WRITE SQ-REC
               MOVE "WRITE sequential" TO WHAT PERFORM SHOW
           END-PERFORM
           CLOSE RL-SEQ
           OPEN I-O RL-SEQ
           MOVE "OPEN I-O sequential" TO WHAT PERFORM SHOW
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
               IF FS = "00"
                   DISPLAY "  " SQ-REC
               END-IF
           END-PERFORM
           MOVE "READ to the end" TO WHAT PERFORM SHOW
           CLOSE RL-SEQ
           STOP RUN.

       SHOW.
           DISPLAY WHAT " " FS.

       SHOW-REC.
           IF FS = "00"
               DISPLAY WHAT " " FS " " RL-REC
           ELSE
               DISPLAY WHAT " " FS
           END-IF.

       SHOW-SEQ.
           DISPLAY WHAT " " FS " " SQ-REC.
