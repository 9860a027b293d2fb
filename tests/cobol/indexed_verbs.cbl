       IDENTIFICATION DIVISION.
       PROGRAM-ID. INDEXED-VERBS.
      * Every verb on an indexed file with a prime key and an alternate
      * key with duplicates, as GnuCOBOL hands each kind of statement to
      * KVRFH; each FILE STATUS is printed. What the verbs do to the
      * file, statement by statement, the verb tables hold.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT IX ASSIGN TO "ix_verbs.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY IX-KEY
               ALTERNATE RECORD KEY IX-CITY WITH DUPLICATES
               FILE STATUS FS.
           SELECT IX-SEQ ASSIGN TO "ix_verbs.dat"
               ORGANIZATION INDEXED ACCESS SEQUENTIAL
               RECORD KEY SQ-KEY
               ALTERNATE RECORD KEY SQ-CITY WITH DUPLICATES
               FILE STATUS FS.
           SELECT IX-LONG ASSIGN TO "ix_verbs.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY LG-KEY
               FILE STATUS FS.
           SELECT IX-MISSING ASSIGN TO "ix_missing.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY MS-KEY
               FILE STATUS FS.
           SELECT OPTIONAL IX-OPT ASSIGN TO "ix_optional.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY OP-KEY
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD IX.
       01 IX-REC.
          05 IX-KEY.
             10 IX-KEY-HEAD PIC X(3).
             10 FILLER      PIC X(3).
          05 IX-NAME        PIC X(10).
          05 IX-CITY        PIC X(6).
       FD IX-SEQ.
       01 SQ-REC.
          05 SQ-KEY         PIC X(6).
          05 SQ-NAME        PIC X(10).
          05 SQ-CITY        PIC X(6).
       FD IX-LONG.
       01 LG-REC.
          05 LG-KEY         PIC X(6).
          05 FILLER         PIC X(30).
       FD IX-MISSING.
       01 MS-REC.
          05 MS-KEY         PIC X(6).
       FD IX-OPT.
       01 OP-REC.
          05 OP-KEY         PIC X(6).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 WHAT              PIC X(34).
       PROCEDURE DIVISION.
       MAIN.
           OPEN INPUT IX-MISSING
           MOVE "OPEN INPUT missing file" TO WHAT PERFORM SHOW
           OPEN INPUT IX-OPT
           MOVE "OPEN INPUT optional, absent" TO WHAT PERFORM SHOW
           READ IX-OPT NEXT
           MOVE "READ NEXT optional, absent" TO WHAT PERFORM SHOW
           CLOSE IX-OPT
           MOVE "CLOSE optional" TO WHAT PERFORM SHOW

           OPEN OUTPUT IX
           MOVE "OPEN OUTPUT" TO WHAT PERFORM SHOW
           MOVE "100300CLARA     OSLO  " TO IX-REC PERFORM PUT
           MOVE "100100ANNA      BERGEN" TO IX-REC PERFORM PUT
           MOVE "100200BJORN     OSLO  " TO IX-REC PERFORM PUT
           MOVE "100400DAVID     TROMSO" TO IX-REC PERFORM PUT
           MOVE "100500EVA       OSLO  " TO IX-REC PERFORM PUT
           MOVE "100200AGAIN     OSLO  " TO IX-REC PERFORM PUT
           READ IX NEXT
           MOVE "READ on a file open OUTPUT" TO WHAT PERFORM SHOW
           OPEN INPUT IX
           MOVE "OPEN of an open file" TO WHAT PERFORM SHOW
           CLOSE IX
           MOVE "CLOSE" TO WHAT PERFORM SHOW
           CLOSE IX
           MOVE "CLOSE of a closed file" TO WHAT PERFORM SHOW

           OPEN INPUT IX-LONG
           MOVE "OPEN with another record length" TO WHAT PERFORM SHOW

           OPEN I-O IX
           MOVE "OPEN I-O" TO WHAT PERFORM SHOW
           MOVE "OSLO" TO IX-CITY
           READ IX KEY IS IX-CITY
           MOVE "READ KEY IS city OSLO" TO WHAT PERFORM SHOW-REC
           PERFORM 3 TIMES
               READ IX NEXT
               MOVE "READ NEXT by city" TO WHAT PERFORM SHOW-REC
           END-PERFORM

           MOVE "100" TO IX-KEY-HEAD
           START IX KEY IS EQUAL TO IX-KEY-HEAD
           MOVE "START = 100 (3 bytes)" TO WHAT PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW-REC
           MOVE "100350" TO IX-KEY
           START IX KEY IS NOT GREATER THAN IX-KEY
           MOVE "START <= 100350" TO WHAT PERFORM SHOW
           READ IX PREVIOUS
           MOVE "READ PREVIOUS" TO WHAT PERFORM SHOW-REC
           MOVE "N" TO IX-CITY
           START IX KEY IS NOT LESS THAN IX-CITY
           MOVE "START >= city N" TO WHAT PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT by city" TO WHAT PERFORM SHOW-REC

           MOVE "100400DAVID D   BERGEN" TO IX-REC
           REWRITE IX-REC
           MOVE "REWRITE 100400 new city" TO WHAT PERFORM SHOW
           MOVE "100500" TO IX-KEY
           DELETE IX
           MOVE "DELETE 100500" TO WHAT PERFORM SHOW
           MOVE "100050ZOE       BERGEN" TO IX-REC
           WRITE IX-REC
           MOVE "WRITE 100050 open I-O" TO WHAT PERFORM SHOW
           CLOSE IX WITH LOCK
           MOVE "CLOSE WITH LOCK" TO WHAT PERFORM SHOW
           OPEN INPUT IX
           MOVE "OPEN after CLOSE WITH LOCK" TO WHAT PERFORM SHOW

           OPEN INPUT IX-SEQ
           MOVE "OPEN INPUT sequential access" TO WHAT PERFORM SHOW
           PERFORM UNTIL FS NOT = "00" AND FS NOT = "02"
               READ IX-SEQ
               IF FS = "00" OR FS = "02"
                   DISPLAY "  " SQ-REC
               END-IF
           END-PERFORM
           MOVE "READ to the end" TO WHAT PERFORM SHOW
           READ IX-SEQ
           MOVE "READ after the end" TO WHAT PERFORM SHOW
           MOVE "BERGEN" TO SQ-CITY
           START IX-SEQ KEY IS EQUAL TO SQ-CITY
           MOVE "START = city BERGEN" TO WHAT PERFORM SHOW
           PERFORM UNTIL FS NOT = "00" AND FS NOT = "02"
               READ IX-SEQ
               IF FS = "00" OR FS = "02"
                   DISPLAY "  " SQ-REC " " FS
               END-IF
           END-PERFORM
           MOVE "READ by city to the end" TO WHAT PERFORM SHOW
           CLOSE IX-SEQ

           OPEN OUTPUT IX-SEQ
           MOVE "OPEN OUTPUT sequential access" TO WHAT PERFORM SHOW
           MOVE "200100A         X     " TO SQ-REC
           WRITE SQ-REC
           MOVE "WRITE 200100" TO WHAT PERFORM SHOW
           MOVE "200050B         X     " TO SQ-REC
           WRITE SQ-REC
           MOVE "WRITE 200050 out of order" TO WHAT PERFORM SHOW
           CLOSE IX-SEQ
           STOP RUN.

       PUT.
           WRITE IX-REC
           MOVE SPACES TO WHAT
           STRING "WRITE " IX-KEY DELIMITED BY SIZE INTO WHAT
           PERFORM SHOW.

       SHOW.
           DISPLAY WHAT " " FS.

       SHOW-REC.
           IF FS = "00" OR FS = "02"
               DISPLAY WHAT " " FS " " IX-REC
           ELSE
               DISPLAY WHAT " " FS
           END-IF.
