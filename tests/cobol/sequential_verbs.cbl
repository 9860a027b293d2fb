       IDENTIFICATION DIVISION.
       PROGRAM-ID. SEQUENTIAL-VERBS.
      * Every verb on record-sequential files, fixed and variable, and a
      * LINE SEQUENTIAL file beside them; each FILE STATUS is printed.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT FX ASSIGN TO "sq_fixed.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT VR ASSIGN TO "sq_variable.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT OPTIONAL OPT ASSIGN TO "sq_optional.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT TX ASSIGN TO "sq_text.txt"
               ORGANIZATION LINE SEQUENTIAL FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD FX.
       01 FX-REC            PIC X(10).
       FD VR RECORD VARYING 3 TO 30 DEPENDING ON VR-LEN.
       01 VR-REC            PIC X(30).
       FD OPT.
       01 OPT-REC           PIC X(10).
       FD TX.
       01 TX-REC            PIC X(20).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 VR-LEN            PIC 99.
       01 WHAT              PIC X(30).
       PROCEDURE DIVISION.
       MAIN.
           OPEN INPUT FX
           MOVE "OPEN INPUT missing file" TO WHAT PERFORM SHOW
           OPEN OUTPUT FX
           MOVE "OPEN OUTPUT" TO WHAT PERFORM SHOW
           MOVE "FIRST" TO FX-REC WRITE FX-REC
           MOVE "SECOND" TO FX-REC WRITE FX-REC
           READ FX
           MOVE "READ on a file open OUTPUT" TO WHAT PERFORM SHOW
           CLOSE FX
           OPEN EXTEND FX
           MOVE "THIRD" TO FX-REC WRITE FX-REC
           CLOSE FX
           OPEN I-O FX
           READ FX
           READ FX
           MOVE "SECOND NEW" TO FX-REC REWRITE FX-REC
           WRITE FX-REC
           MOVE "WRITE on a file open I-O" TO WHAT PERFORM SHOW
           CLOSE FX
           OPEN INPUT FX
           PERFORM UNTIL FS NOT = "00"
               READ FX
               IF FS = "00" DISPLAY "  " FX-REC END-IF
           END-PERFORM
           MOVE "READ to the end" TO WHAT PERFORM SHOW
           READ FX
           MOVE "READ after the end" TO WHAT PERFORM SHOW
           REWRITE FX-REC
           MOVE "REWRITE on a file open INPUT" TO WHAT PERFORM SHOW
           CLOSE FX WITH LOCK
           MOVE "CLOSE WITH LOCK" TO WHAT PERFORM SHOW
           OPEN INPUT FX
           MOVE "OPEN after CLOSE WITH LOCK" TO WHAT PERFORM SHOW

           OPEN OUTPUT VR
           MOVE 3 TO VR-LEN MOVE "ABC" TO VR-REC WRITE VR-REC
           MOVE "WRITE 3 bytes" TO WHAT PERFORM SHOW
           MOVE 30 TO VR-LEN
           MOVE "THIRTY BYTES OF TEXT IN RECORD" TO VR-REC
           WRITE VR-REC
           MOVE "WRITE 30 bytes" TO WHAT PERFORM SHOW
           MOVE 12 TO VR-LEN MOVE "TWELVE BYTES" TO VR-REC
           WRITE VR-REC
           MOVE "WRITE 12 bytes" TO WHAT PERFORM SHOW
           CLOSE VR
           OPEN INPUT VR
           PERFORM UNTIL FS NOT = "00"
               MOVE SPACES TO VR-REC
               READ VR
               IF FS = "00"
                   DISPLAY "  " VR-LEN " " VR-REC(1:VR-LEN)
               END-IF
           END-PERFORM
           MOVE "READ variable to the end" TO WHAT PERFORM SHOW
           CLOSE VR

           OPEN INPUT OPT
           MOVE "OPEN INPUT optional, absent" TO WHAT PERFORM SHOW
           READ OPT
           MOVE "READ optional, absent" TO WHAT PERFORM SHOW
           CLOSE OPT
           OPEN EXTEND OPT
           MOVE "OPEN EXTEND optional, absent" TO WHAT PERFORM SHOW
           MOVE "MADE" TO OPT-REC WRITE OPT-REC
           MOVE "WRITE" TO WHAT PERFORM SHOW
           CLOSE OPT
           OPEN INPUT OPT
           READ OPT
           MOVE "READ optional, made" TO WHAT PERFORM SHOW
           DISPLAY "  " OPT-REC
           CLOSE OPT

           OPEN OUTPUT TX
           MOVE "OPEN OUTPUT line sequential" TO WHAT PERFORM SHOW
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
