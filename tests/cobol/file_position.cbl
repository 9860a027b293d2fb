       IDENTIFICATION DIVISION.
       PROGRAM-ID. FILE-POSITION.
      * The file position indicator across WRITE and DELETE, and
      * relative record number 0: what COBOL 85 defines, the same
      * with either file handler.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT IX ASSIGN TO "position.idx"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY IX-KEY
               ALTERNATE RECORD KEY IX-NAME
               FILE STATUS FS.
           SELECT REL ASSIGN TO "position.rel"
               ORGANIZATION RELATIVE ACCESS DYNAMIC
               RELATIVE KEY RK
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-NAME        PIC X(4).
       FD REL.
       01 REL-REC           PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 RK                PIC 9(4).
       01 WHAT              PIC X(36).
       PROCEDURE DIVISION.
       MAIN.
           OPEN OUTPUT IX
           MOVE "0010ANNA" TO IX-REC WRITE IX-REC
           MOVE "0020BERT" TO IX-REC WRITE IX-REC
           MOVE "0030CARL" TO IX-REC WRITE IX-REC
           MOVE "0040DORA" TO IX-REC WRITE IX-REC
           MOVE "0050EMIL" TO IX-REC WRITE IX-REC
           CLOSE IX
           OPEN I-O IX
           READ IX NEXT
           READ IX NEXT
           MOVE "READ NEXT, READ NEXT" TO WHAT PERFORM SHOW-RECORD
           MOVE "0045FRED" TO IX-REC WRITE IX-REC
           MOVE "WRITE 0045" TO WHAT PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT after the WRITE" TO WHAT PERFORM SHOW-RECORD
           MOVE "0020GINA" TO IX-REC WRITE IX-REC
           MOVE "WRITE 0020 again" TO WHAT PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT after the refused WRITE" TO WHAT
           PERFORM SHOW-RECORD
           MOVE "0040" TO IX-KEY READ IX
           DELETE IX
           MOVE "READ 0040, DELETE" TO WHAT PERFORM SHOW
           READ IX PREVIOUS
           MOVE "READ PREVIOUS after the DELETE" TO WHAT
           PERFORM SHOW-RECORD
           READ IX NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW-RECORD
           MOVE "BERT" TO IX-NAME
           START IX KEY = IX-NAME
           READ IX NEXT
           MOVE "START BERT by name, READ NEXT" TO WHAT
           PERFORM SHOW-RECORD
           MOVE "0050" TO IX-KEY
           DELETE IX
           MOVE "DELETE 0050 (prime key in the area)" TO WHAT
           PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT by name" TO WHAT PERFORM SHOW-RECORD
           MOVE "0050" TO IX-KEY READ IX KEY IX-KEY
           MOVE "READ 0050" TO WHAT PERFORM SHOW
           MOVE "CARL" TO IX-NAME
           START IX KEY = IX-NAME
           READ IX NEXT
           MOVE "START CARL by name, READ NEXT" TO WHAT
           PERFORM SHOW-RECORD
           MOVE "0010ZORA" TO IX-REC REWRITE IX-REC
           MOVE "REWRITE 0010 as ZORA" TO WHAT PERFORM SHOW
           READ IX NEXT
           MOVE "READ NEXT by name" TO WHAT PERFORM SHOW-RECORD
           READ IX NEXT
           MOVE "READ NEXT by name" TO WHAT PERFORM SHOW-RECORD
           MOVE "0030" TO IX-KEY READ IX KEY IX-KEY
           READ IX NEXT
           MOVE "READ 0030, READ NEXT" TO WHAT PERFORM SHOW-RECORD
           DELETE IX
           MOVE "DELETE 0045" TO WHAT PERFORM SHOW
           MOVE "0020BOBO" TO IX-REC REWRITE IX-REC
           MOVE "REWRITE 0020 as BOBO" TO WHAT PERFORM SHOW
           READ IX PREVIOUS
           MOVE "READ PREVIOUS" TO WHAT PERFORM SHOW-RECORD
           MOVE "0020" TO IX-KEY READ IX KEY IX-KEY
           DELETE IX
           MOVE "0030" TO IX-KEY
           DELETE IX
           MOVE "READ 0020, DELETE it, DELETE 0030" TO WHAT PERFORM SHOW
           READ IX PREVIOUS
           MOVE "READ PREVIOUS" TO WHAT PERFORM SHOW-RECORD
           CLOSE IX

           OPEN OUTPUT REL
           MOVE 1 TO RK MOVE "ONE" TO REL-REC WRITE REL-REC
           MOVE 2 TO RK MOVE "TWO" TO REL-REC WRITE REL-REC
           MOVE 0 TO RK MOVE "ZERO" TO REL-REC WRITE REL-REC
           MOVE "WRITE relative record 0" TO WHAT PERFORM SHOW
           CLOSE REL
           OPEN I-O REL
           MOVE 0 TO RK READ REL
           MOVE "READ relative record 0" TO WHAT PERFORM SHOW
           MOVE 0 TO RK START REL KEY = RK
           MOVE "START = 0" TO WHAT PERFORM SHOW
           MOVE 0 TO RK START REL KEY NOT LESS THAN RK
           MOVE "START >= 0" TO WHAT PERFORM SHOW
           READ REL NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW
           DISPLAY "  record " REL-REC
           CLOSE REL
           STOP RUN.
       SHOW.
           DISPLAY WHAT " " FS.
       SHOW-RECORD.
           DISPLAY WHAT " " FS " " IX-REC.
