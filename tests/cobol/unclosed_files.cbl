       IDENTIFICATION DIVISION.
       PROGRAM-ID. UNCLOSED-FILES.
      * Run as "write ENDING", adds two records to an indexed, a
      * relative and a sequential file and ends without closing them:
      * with STOP RUN, GOBACK, a runtime error or a call of exit(),
      * as ENDING says. Run as "read", reads every record of the three
      * files back. Each FILE STATUS is printed. Run as "churn KIND"
      * (indexed, shared or relative), writes records and deletes every
      * third one until a signal ends it; "probe KIND" then opens that
      * file and prints the OPEN's status.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT OPTIONAL IX ASSIGN TO "uc_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY IX-KEY
               ALTERNATE RECORD KEY IX-ENDING WITH DUPLICATES
               FILE STATUS FS.
           SELECT OPTIONAL RL ASSIGN TO "uc_relative.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC RELATIVE KEY RK
               FILE STATUS FS.
           SELECT OPTIONAL SQ ASSIGN TO "uc_sequential.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
      * One indexed file held alone or shared, and a relative file, for
      * the runs that signals end.
           SELECT OPTIONAL CX ASSIGN TO "uc_churn.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY CX-KEY
               ALTERNATE RECORD KEY CX-GROUP WITH DUPLICATES
               ALTERNATE RECORD KEY CX-SERIAL FILE STATUS FS.
           SELECT OPTIONAL SX ASSIGN TO "uc_churn.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY SX-KEY
               ALTERNATE RECORD KEY SX-GROUP WITH DUPLICATES
               ALTERNATE RECORD KEY SX-SERIAL LOCK MODE IS AUTOMATIC
               FILE STATUS FS.
           SELECT OPTIONAL CR ASSIGN TO "uc_churn_rel.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC RELATIVE KEY CRK
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
       FD CX.
       01 CX-REC.
          05 CX-KEY         PIC X(18).
          05 CX-GROUP       PIC X(4).
          05 CX-SERIAL      PIC X(16).
          05 CX-DATA        PIC X(40).
       FD SX.
       01 SX-REC.
          05 SX-KEY         PIC X(18).
          05 SX-GROUP       PIC X(4).
          05 SX-SERIAL      PIC X(16).
          05 SX-DATA        PIC X(40).
       FD CR.
       01 CR-REC            PIC X(40).
       FD MISSING.
       01 MISSING-REC       PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 COMMAND-TEXT      PIC X(40).
       01 ACTION            PIC X(8).
       01 ENDING            PIC X(8).
       01 RUN-NUMBER        PIC 9.
       01 N                 PIC 9.
       01 RK                PIC 99.
       01 REC-TEXT          PIC X(8).
       01 RUN-ID            PIC 9(8).
       01 I                 PIC 9(8).
       01 J                 PIC 9(8).
       01 CRK               PIC 9(9).
       01 CH-REC.
          05 CH-KEY         PIC X(18).
          05 CH-GROUP       PIC X(4).
          05 CH-SERIAL      PIC X(16).
          05 CH-DATA        PIC X(40).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT COMMAND-TEXT FROM COMMAND-LINE
           UNSTRING COMMAND-TEXT DELIMITED BY ALL SPACE
               INTO ACTION ENDING
           EVALUATE ACTION
               WHEN "read"  PERFORM READ-BACK STOP RUN
               WHEN "churn" PERFORM CHURN STOP RUN
               WHEN "probe" PERFORM PROBE STOP RUN
           END-EVALUATE
           EVALUATE ENDING
               WHEN "stop"   MOVE 1 TO RUN-NUMBER
               WHEN "goback" MOVE 2 TO RUN-NUMBER
               WHEN "error"  MOVE 3 TO RUN-NUMBER
               WHEN "exit"   MOVE 4 TO RUN-NUMBER
               WHEN OTHER
                   DISPLAY "usage: write stop|goback|error|exit, read,"
                           " churn|probe indexed|shared|relative"
                   STOP RUN
           END-EVALUATE

           OPEN I-O IX DISPLAY "OPEN I-O indexed " FS
           OPEN I-O RL DISPLAY "OPEN I-O relative " FS
           OPEN EXTEND SQ DISPLAY "OPEN EXTEND sequential " FS
           PERFORM VARYING N FROM 1 BY 1 UNTIL N > 2
               MOVE SPACES TO REC-TEXT STRING ENDING DELIMITED BY SPACE
                   "-" N DELIMITED BY SIZE INTO REC-TEXT
               MOVE REC-TEXT TO IX-KEY MOVE ENDING TO IX-ENDING
               WRITE IX-REC DISPLAY "WRITE indexed " REC-TEXT " " FS
               COMPUTE RK = RUN-NUMBER * 10 + N
               WRITE RL-REC FROM REC-TEXT
               DISPLAY "WRITE relative " REC-TEXT " " FS
               WRITE SQ-REC FROM REC-TEXT
               DISPLAY "WRITE sequential " REC-TEXT " " FS
           END-PERFORM

           EVALUATE ENDING
               WHEN "stop"   STOP RUN
               WHEN "goback" GOBACK
               WHEN "error"  OPEN INPUT MISSING
               WHEN "exit"   CALL "exit" USING BY VALUE 3
           END-EVALUATE
           DISPLAY "still running after " ENDING
           STOP RUN.

       READ-BACK.
           OPEN INPUT IX DISPLAY "OPEN INPUT indexed " FS
           PERFORM UNTIL FS NOT = "00"
               READ IX NEXT IF FS = "00" DISPLAY "  " IX-REC END-IF
           END-PERFORM DISPLAY "READ indexed to the end " FS
           CLOSE IX DISPLAY "CLOSE indexed " FS
           OPEN INPUT RL DISPLAY "OPEN INPUT relative " FS
           PERFORM UNTIL FS NOT = "00"
               READ RL NEXT IF FS = "00" DISPLAY "  " RL-REC END-IF
           END-PERFORM DISPLAY "READ relative to the end " FS
           CLOSE RL DISPLAY "CLOSE relative " FS
           OPEN INPUT SQ DISPLAY "OPEN INPUT sequential " FS
           PERFORM UNTIL FS NOT = "00"
               READ SQ IF FS = "00" DISPLAY "  " SQ-REC END-IF
           END-PERFORM DISPLAY "READ sequential to the end " FS
           CLOSE SQ DISPLAY "CLOSE sequential " FS.

       CHURN.
           MOVE FUNCTION CURRENT-DATE(9:8) TO RUN-ID
           EVALUATE ENDING
               WHEN "indexed"  OPEN I-O CX
               WHEN "shared"   OPEN I-O SX
               WHEN OTHER      OPEN I-O CR
           END-EVALUATE
           IF FS NOT = "00" AND "05" DISPLAY "OPEN I-O " FS STOP RUN
           END-IF
           PERFORM VARYING I FROM 1 BY 1 UNTIL I > 999999
               MOVE I TO J PERFORM CHURN-WRITE
               IF FUNCTION MOD(I, 3) = 0
                   COMPUTE J = I - 2 PERFORM CHURN-DELETE
               END-IF
           END-PERFORM.

       CHURN-WRITE.
           PERFORM CHURN-RECORD
           EVALUATE ENDING
               WHEN "indexed"  WRITE CX-REC FROM CH-REC
               WHEN "shared"   WRITE SX-REC FROM CH-REC
               WHEN OTHER      WRITE CR-REC FROM RUN-ID
           END-EVALUATE
           IF FS NOT = "00" AND "02" AND "22"
               DISPLAY "WRITE " FS STOP RUN
           END-IF.

       CHURN-DELETE.
           PERFORM CHURN-RECORD
           EVALUATE ENDING
               WHEN "indexed"  MOVE CH-KEY TO CX-KEY DELETE CX
               WHEN "shared"   MOVE CH-KEY TO SX-KEY DELETE SX
               WHEN OTHER      DELETE CR
           END-EVALUATE
           IF FS NOT = "00" AND "23" DISPLAY "DELETE " FS STOP RUN
           END-IF.

      * Record J of this run, and its number in the relative file.
       CHURN-RECORD.
           MOVE SPACES TO CH-REC
           STRING RUN-ID "-" J DELIMITED BY SIZE INTO CH-KEY
           MOVE FUNCTION MOD(J, 5) TO CH-GROUP
           STRING J RUN-ID DELIMITED BY SIZE INTO CH-SERIAL
           MOVE ALL "d" TO CH-DATA
           COMPUTE CRK = FUNCTION MOD(RUN-ID, 1000) * 1000000 + J.

       PROBE.
           EVALUATE ENDING
               WHEN "relative" OPEN INPUT CR DISPLAY FS CLOSE CR
               WHEN OTHER      OPEN INPUT CX DISPLAY FS CLOSE CX
           END-EVALUATE.
