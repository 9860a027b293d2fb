       IDENTIFICATION DIVISION.
       PROGRAM-ID. UNCLOSED-FILES.
      * Run as "write ENDING", adds two records to an indexed, a
      * relative and a sequential file and ends without closing them:
      * with STOP RUN, GOBACK, a runtime error or a call of exit(),
      * as ENDING says. Run as "read", reads every record of the three
      * files back. Each FILE STATUS is printed.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT OPTIONAL IX ASSIGN TO "uc_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY IX-KEY
               ALTERNATE RECORD KEY IX-ENDING WITH DUPLICATES
               FILE STATUS FS.
           SELECT OPTIONAL RL ASSIGN TO "uc_relative.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC
               RELATIVE KEY RK
               FILE STATUS FS.
           SELECT OPTIONAL SQ ASSIGN TO "uc_sequential.dat"
               ORGANIZATION SEQUENTIAL
               FILE STATUS FS.
      * No FILE STATUS: a failing OPEN is a runtime error that ends the
      * run.
           SELECT MISSING ASSIGN TO "uc_missing.dat"
               ORGANIZATION SEQUENTIAL.
       DATA DIVISION.
       FILE SECTION.
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(8).
          05 IX-ENDING      PIC X(6).
       FD RL.
       01 RL-REC            PIC X(8).
       FD SQ.
       01 SQ-REC            PIC X(8).
       FD MISSING.
       01 MISSING-REC       PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 COMMAND-TEXT      PIC X(40).
       01 ACTION            PIC X(8).
       01 ENDING            PIC X(6).
       01 RUN-NUMBER        PIC 9.
       01 N                 PIC 9.
       01 RK                PIC 99.
       01 REC-TEXT          PIC X(8).
       01 WHAT              PIC X(30).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT COMMAND-TEXT FROM COMMAND-LINE
           UNSTRING COMMAND-TEXT DELIMITED BY ALL SPACE
               INTO ACTION ENDING
           IF ACTION = "read"
               PERFORM READ-BACK
               STOP RUN
           END-IF
           EVALUATE ENDING
               WHEN "stop"   MOVE 1 TO RUN-NUMBER
               WHEN "goback" MOVE 2 TO RUN-NUMBER
               WHEN "error"  MOVE 3 TO RUN-NUMBER
               WHEN "exit"   MOVE 4 TO RUN-NUMBER
               WHEN OTHER
                   DISPLAY "usage: write stop|goback|error|exit, read"
                   STOP RUN
           END-EVALUATE

           OPEN I-O IX
           MOVE "OPEN I-O indexed" TO WHAT PERFORM SHOW
           OPEN I-O RL
           MOVE "OPEN I-O relative" TO WHAT PERFORM SHOW
           OPEN EXTEND SQ
           MOVE "OPEN EXTEND sequential" TO WHAT PERFORM SHOW
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 2
               MOVE SPACES TO REC-TEXT
               STRING ENDING DELIMITED BY SPACE "-" N
                   DELIMITED BY SIZE INTO REC-TEXT
               MOVE REC-TEXT TO IX-KEY
               MOVE ENDING TO IX-ENDING
               WRITE IX-REC
               MOVE "WRITE indexed" TO WHAT PERFORM SHOW-WRITE
               COMPUTE RK = RUN-NUMBER * 10 + N
               MOVE REC-TEXT TO RL-REC
               WRITE RL-REC
               MOVE "WRITE relative" TO WHAT PERFORM SHOW-WRITE
               MOVE REC-TEXT TO SQ-REC
               WRITE SQ-REC
               MOVE "WRITE sequential" TO WHAT PERFORM SHOW-WRITE
           END-PERFORM

           EVALUATE ENDING
               WHEN "stop"
                   STOP RUN
               WHEN "goback"
                   GOBACK
               WHEN "error"
                   OPEN INPUT MISSING
               WHEN "exit"
                   CALL "exit" USING BY VALUE 3
           END-EVALUATE
           DISPLAY "still running after " ENDING
           STOP RUN.

       READ-BACK.
           OPEN INPUT IX
           MOVE "OPEN INPUT indexed" TO WHAT PERFORM SHOW
           PERFORM UNTIL FS NOT = "00"
               READ IX NEXT
               IF FS = "00"
                   DISPLAY "  " IX-REC
               END-IF
           END-PERFORM
           MOVE "READ indexed to the end" TO WHAT PERFORM SHOW
           CLOSE IX
           MOVE "CLOSE indexed" TO WHAT PERFORM SHOW

           OPEN INPUT RL
           MOVE "OPEN INPUT relative" TO WHAT PERFORM SHOW
           PERFORM UNTIL FS NOT = "00"
               READ RL NEXT
               IF FS = "00"
                   DISPLAY "  " RL-REC
               END-IF
           END-PERFORM
           MOVE "READ relative to the end" TO WHAT PERFORM SHOW
           CLOSE RL
           MOVE "CLOSE relative" TO WHAT PERFORM SHOW

           OPEN INPUT SQ
           MOVE "OPEN INPUT sequential" TO WHAT PERFORM SHOW
           PERFORM UNTIL FS NOT = "00"
               READ SQ
               IF FS = "00"
                   DISPLAY "  " SQ-REC
               END-IF
           END-PERFORM
           MOVE "READ sequential to the end" TO WHAT PERFORM SHOW
           CLOSE SQ
           MOVE "CLOSE sequential" TO WHAT PERFORM SHOW.

       SHOW.
           DISPLAY WHAT " " FS.

       SHOW-WRITE.
           DISPLAY WHAT " " REC-TEXT " " FS.
